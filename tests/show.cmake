# korvane -I, -i, -x and the driver end to end.
find_package(ZLIB REQUIRED)
korvane_test(korvane_show_e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/show_test.cc
  LIBS korvane_e2e korvane_image ZLIB::ZLIB)
if(TARGET korvane_show_e2e)
  add_dependencies(korvane_show_e2e korvane)
endif()
