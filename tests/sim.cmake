# korvane-sim end to end.
if(TARGET korvane-sim AND TARGET korvane-mkrom)
  korvane_test(korvane_sim_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_test.cc LIBS korvane_e2e)
  if(TARGET korvane_sim_e2e)
    add_dependencies(korvane_sim_e2e korvane-sim korvane korvane-mkrom)
  endif()
endif()
