# korvane -e end to end through korvane-sim.
if(TARGET korvane-sim AND TARGET korvane_install_testutil)
  korvane_test(korvane_install_e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_sim_test.cc
    LIBS korvane_install_testutil)
  if(TARGET korvane_install_e2e)
    add_dependencies(korvane_install_e2e korvane-sim)
  endif()
endif()
