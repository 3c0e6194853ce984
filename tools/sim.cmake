# korvane-sim: the korvane driver against the simulated board.
if(TARGET korvane_driver)
  add_executable(korvane-sim ${CMAKE_CURRENT_LIST_DIR}/korvane_sim.cc)
  target_link_libraries(korvane-sim PRIVATE korvane_driver korvane_sim)
endif()
