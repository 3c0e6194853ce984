# Tests of image building.
if(KORVANE_TESTS)
  korvane_test(korvane_build_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/build_test.cc
    LIBS korvane_image korvane_e2e
  )
endif()
