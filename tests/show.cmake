# korvane -I, -i, -x and the driver end to end.
korvane_test(korvane_show_e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/show_test.cc
  LIBS korvane_e2e korvane_image)
if(TARGET korvane_show_e2e)
  add_dependencies(korvane_show_e2e korvane)
endif()
