# SPDX-License-Identifier: MIT
# Finds libsodium as Debian ships it (libsodium-dev; for the armhf build
# libsodium-dev:armhf, whose files sit in the PC's multiarch folders, where
# Debian's cross compiler looks for them too).
#
# Defines the target Sodium::Sodium. It names the library by its name
# (-lsodium) rather than by a file, so that a program linked with -static
# (korvane-static) takes libsodium.a and every other one the shared library.
# Sets Sodium_FOUND, Sodium_INCLUDE_DIR and Sodium_LIBRARY_DIR.
if(CMAKE_CROSSCOMPILING)
  # The toolchain confines the search to its sysroot; the multiarch folders
  # are outside it.
  set(_sodium_where NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(_sodium_include_paths /usr/include)
  set(_sodium_library_paths /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/arm-linux-gnueabihf)
else()
  set(_sodium_where)
  set(_sodium_include_paths)
  set(_sodium_library_paths)
endif()
find_path(Sodium_INCLUDE_DIR sodium.h PATHS ${_sodium_include_paths} ${_sodium_where})
find_library(Sodium_LIBRARY NAMES sodium PATHS ${_sodium_library_paths} ${_sodium_where})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
  get_filename_component(Sodium_LIBRARY_DIR "${Sodium_LIBRARY}" DIRECTORY)
  add_library(Sodium::Sodium INTERFACE IMPORTED)
  target_link_directories(Sodium::Sodium INTERFACE ${Sodium_LIBRARY_DIR})
  target_link_libraries(Sodium::Sodium INTERFACE sodium)
  if(NOT CMAKE_CROSSCOMPILING)
    # /usr/include for the cross build is the compiler's own search path;
    # naming it here would put the PC's headers before the target's.
    target_include_directories(Sodium::Sodium SYSTEM INTERFACE ${Sodium_INCLUDE_DIR})
  endif()
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
