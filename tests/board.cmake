# Process stopping against real processes inside a PID namespace.
add_executable(board_kill_helper ${CMAKE_CURRENT_LIST_DIR}/board_kill_helper.cc)
target_link_libraries(board_kill_helper PRIVATE korvane_board)
korvane_test(board_kill_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_kill_test.cc LIBS korvane_e2e)
add_dependencies(board_kill_test board_kill_helper)

# The driver's kill, watchdog and reboot steps around an action.
if(TARGET korvane_driver AND TARGET korvane_image)
  korvane_test(korvane_driver_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_test.cc
    LIBS korvane_driver korvane_image korvane_e2e)
endif()
