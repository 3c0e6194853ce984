# A statically linked korvane (korvane-static): the program the kernel tier
# runs inside its VM, and in the armhf build the artifact that goes onto
# the board. Static linking does not mix with the sanitizers.
if(NOT TARGET korvane_driver OR KORVANE_SANITIZE)
  return()
endif()
add_executable(korvane-static ${PROJECT_SOURCE_DIR}/cli/main.cc)
target_link_libraries(korvane-static PRIVATE korvane_driver)
target_link_options(korvane-static PRIVATE -static)
if(CMAKE_CROSSCOMPILING)
  install(TARGETS korvane-static RUNTIME DESTINATION bin)
  # The kernel tier boots an x86-64 kernel: it has nothing to run here.
  return()
endif()

# The kernel tier: installs on the real Linux MTD stack in a qemu VM
# (tests/kernel/). Label "kernel": `ctest -L kernel` runs it alone, and
# `ctest -LE kernel` everything else.
if(NOT TARGET korvane-sim OR NOT TARGET korvane-mkrom)
  return()
endif()
# The device's answers to a fixed series of MTD requests, on the kernel's
# devices in the VM and on the simulated board.
add_executable(mtd_probe ${CMAKE_CURRENT_LIST_DIR}/kernel/mtd_probe.cc)
target_link_libraries(mtd_probe PRIVATE korvane_sim)
target_link_options(mtd_probe PRIVATE -static)
add_executable(kernel_test ${CMAKE_CURRENT_LIST_DIR}/kernel/kernel_test.cc)
target_link_libraries(kernel_test PRIVATE korvane_e2e GTest::gtest)
add_dependencies(kernel_test korvane-static korvane-sim korvane-mkrom mtd_probe)
# The folders it uses, also when run by hand (the environment overrides them).
target_compile_definitions(kernel_test PRIVATE
  KORVANE_VM_SCRIPTS="${CMAKE_CURRENT_LIST_DIR}/kernel"
  KORVANE_VM_CACHE="${PROJECT_SOURCE_DIR}/.vm-cache"
  KORVANE_VM_WORK="${CMAKE_CURRENT_BINARY_DIR}/kernel-vm")
add_test(NAME kernel COMMAND kernel_test --gtest_color=no)
set_tests_properties(kernel PROPERTIES
  LABELS kernel
  TIMEOUT 600
  ENVIRONMENT "KORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
