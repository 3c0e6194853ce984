# SPDX-License-Identifier: MIT
# Finds libsodium as Debian ships it: libsodium-dev on the PC; for the armhf
# build the armhf package unpacked into .armhf-cache/sysroot
# (cmake/fetch-armhf-libs.sh), where the toolchain file points CMake.
#
# Defines the target Sodium::Sodium. On the PC it names the library by its
# name (-lsodium), so that a program linked with -static takes libsodium.a
# and every other one the shared library; the armhf build links the static
# library itself (the unpacked -dev package holds no shared one), as it
# does zlib's. Sets Sodium_FOUND, Sodium_INCLUDE_DIR and Sodium_LIBRARY_DIR.
if(CMAKE_CROSSCOMPILING)
  set(_sodium_names libsodium.a)
else()
  set(_sodium_names sodium)
endif()
find_path(Sodium_INCLUDE_DIR sodium.h)
find_library(Sodium_LIBRARY NAMES ${_sodium_names})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
  get_filename_component(Sodium_LIBRARY_DIR "${Sodium_LIBRARY}" DIRECTORY)
  add_library(Sodium::Sodium INTERFACE IMPORTED)
  if(CMAKE_CROSSCOMPILING)
    target_link_libraries(Sodium::Sodium INTERFACE ${Sodium_LIBRARY})
  else()
    target_link_directories(Sodium::Sodium INTERFACE ${Sodium_LIBRARY_DIR})
    target_link_libraries(Sodium::Sodium INTERFACE sodium)
  endif()
  target_include_directories(Sodium::Sodium SYSTEM INTERFACE ${Sodium_INCLUDE_DIR})
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
