# SPDX-License-Identifier: MIT
# Finds libubootenv-dev (U-Boot's environment) as Debian ships it, as FindSodium.cmake finds libsodium: on the
# PC by its name (-lubootenv, so that a program linked with -static takes
# libubootenv.a), for the armhf build its static library in the unpacked -dev
# package. Defines the target Ubootenv::Ubootenv.
if(CMAKE_CROSSCOMPILING)
  set(_ubootenv_names libubootenv.a)
else()
  set(_ubootenv_names ubootenv)
endif()
find_path(Ubootenv_INCLUDE_DIR libuboot.h)
find_library(Ubootenv_LIBRARY NAMES ${_ubootenv_names})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Ubootenv REQUIRED_VARS Ubootenv_LIBRARY Ubootenv_INCLUDE_DIR)

if(Ubootenv_FOUND AND NOT TARGET Ubootenv::Ubootenv)
  get_filename_component(Ubootenv_LIBRARY_DIR "${Ubootenv_LIBRARY}" DIRECTORY)
  add_library(Ubootenv::Ubootenv INTERFACE IMPORTED)
  if(CMAKE_CROSSCOMPILING)
    target_link_libraries(Ubootenv::Ubootenv INTERFACE ${Ubootenv_LIBRARY})
  else()
    target_link_directories(Ubootenv::Ubootenv INTERFACE ${Ubootenv_LIBRARY_DIR})
    target_link_libraries(Ubootenv::Ubootenv INTERFACE ubootenv)
  endif()
  target_include_directories(Ubootenv::Ubootenv SYSTEM INTERFACE ${Ubootenv_INCLUDE_DIR})
endif()
mark_as_advanced(Ubootenv_INCLUDE_DIR Ubootenv_LIBRARY)
