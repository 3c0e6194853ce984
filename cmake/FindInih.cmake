# SPDX-License-Identifier: MIT
# Finds libinih-dev (the INI parser) as Debian ships it, as FindSodium.cmake finds libsodium: on the
# PC by its name (-linih, so that a program linked with -static takes
# libinih.a), for the armhf build its static library in the unpacked -dev
# package. Defines the target Inih::Inih.
if(CMAKE_CROSSCOMPILING)
  set(_inih_names libinih.a)
else()
  set(_inih_names inih)
endif()
find_path(Inih_INCLUDE_DIR ini.h)
find_library(Inih_LIBRARY NAMES ${_inih_names})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Inih REQUIRED_VARS Inih_LIBRARY Inih_INCLUDE_DIR)

if(Inih_FOUND AND NOT TARGET Inih::Inih)
  get_filename_component(Inih_LIBRARY_DIR "${Inih_LIBRARY}" DIRECTORY)
  add_library(Inih::Inih INTERFACE IMPORTED)
  if(CMAKE_CROSSCOMPILING)
    target_link_libraries(Inih::Inih INTERFACE ${Inih_LIBRARY})
  else()
    target_link_directories(Inih::Inih INTERFACE ${Inih_LIBRARY_DIR})
    target_link_libraries(Inih::Inih INTERFACE inih)
  endif()
  target_include_directories(Inih::Inih SYSTEM INTERFACE ${Inih_INCLUDE_DIR})
endif()
mark_as_advanced(Inih_INCLUDE_DIR Inih_LIBRARY)
