# SPDX-License-Identifier: MIT
# Finds the LZMA SDK as the distribution ships it: the C sources of the
# encoder, decoder and match finder with their headers, installed as headers
# (Debian's lzma-dev puts them in /usr/include/lzma). They are compiled here
# into the static library target `lzma_sdk`, single-threaded.
#
# Sets LzmaSdk_FOUND, LzmaSdk_INCLUDE_DIR, LzmaSdk_VERSION and defines the
# target lzma_sdk (alias LzmaSdk::LzmaSdk). The SDK declares
# SeqInStream_Read in Types.h without defining it; its users provide it.

find_path(LzmaSdk_INCLUDE_DIR
  NAMES LzmaDec.h LzmaEnc.h LzFind.h Types.h
  PATH_SUFFIXES lzma
  DOC "Folder holding the LZMA SDK's C sources and headers")

set(_lzma_sdk_sources)
if(LzmaSdk_INCLUDE_DIR)
  foreach(_src LzmaEnc.c LzmaDec.c LzFind.c)
    if(EXISTS "${LzmaSdk_INCLUDE_DIR}/${_src}")
      list(APPEND _lzma_sdk_sources "${LzmaSdk_INCLUDE_DIR}/${_src}")
    endif()
  endforeach()
  if(EXISTS "${LzmaSdk_INCLUDE_DIR}/7zVersion.h")
    file(STRINGS "${LzmaSdk_INCLUDE_DIR}/7zVersion.h" _lzma_sdk_ver
         REGEX "^#define MY_VERSION \"[0-9.]+")
    string(REGEX REPLACE ".*\"([0-9.]+).*" "\\1" LzmaSdk_VERSION "${_lzma_sdk_ver}")
  endif()
endif()
list(LENGTH _lzma_sdk_sources _lzma_sdk_count)
if(_lzma_sdk_count EQUAL 3)
  set(LzmaSdk_SOURCES ${_lzma_sdk_sources})
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LzmaSdk
  REQUIRED_VARS LzmaSdk_INCLUDE_DIR LzmaSdk_SOURCES
  VERSION_VAR LzmaSdk_VERSION)
mark_as_advanced(LzmaSdk_INCLUDE_DIR)

if(LzmaSdk_FOUND AND NOT TARGET lzma_sdk)
  enable_language(C)
  add_library(lzma_sdk STATIC ${LzmaSdk_SOURCES})
  set_target_properties(lzma_sdk PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
  target_compile_definitions(lzma_sdk PUBLIC _7ZIP_ST)
  # Third-party sources: their warnings are not ours to fix.
  target_compile_options(lzma_sdk PRIVATE -w)
  target_include_directories(lzma_sdk SYSTEM PUBLIC "${LzmaSdk_INCLUDE_DIR}")
  add_library(LzmaSdk::LzmaSdk ALIAS lzma_sdk)
endif()
