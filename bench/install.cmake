# Installation benchmarks: the execute walk onto a NAND partition in memory
# against decoding into a null sink, and the peak memory of an install.
# Run: ${CMAKE_BINARY_DIR}/bin/korvane_install_bench (builds its images once).
add_library(korvane_install_memnand STATIC ${CMAKE_CURRENT_LIST_DIR}/install_mem_nand.cc)
target_link_libraries(korvane_install_memnand PUBLIC korvane_platform)

add_executable(korvane_install_memrun ${CMAKE_CURRENT_LIST_DIR}/install_memrun.cc)
target_link_libraries(korvane_install_memrun PRIVATE korvane_install korvane_install_memnand)

add_executable(korvane_install_bench ${CMAKE_CURRENT_LIST_DIR}/install_bench.cc)
target_link_libraries(korvane_install_bench PRIVATE korvane_install korvane_image
                      korvane_install_memnand benchmark::benchmark)
target_compile_definitions(korvane_install_bench PRIVATE
  KORVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
  KORVANE_BENCH_DATA="${CMAKE_BINARY_DIR}/bench-data")
add_dependencies(korvane_install_bench korvane_install_memrun)
if(TARGET korvane_bench_peak)
  add_dependencies(korvane_install_bench korvane_bench_peak)
endif()
