# Tests of image building.
if(KORVANE_TESTS)
  find_package(ZLIB REQUIRED)  # an independent CRC-32 for the tests
  korvane_test(korvane_build_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/build_test.cc
    LIBS korvane_image korvane_e2e ZLIB::ZLIB
  )
endif()
