# The driver (entry point, session, background, action dispatch) and the
# korvane program on top of it.
add_library(korvane_driver STATIC ${CMAKE_CURRENT_LIST_DIR}/driver.cc)
target_include_directories(korvane_driver PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(korvane_driver PUBLIC korvane_image korvane_install korvane_board korvane_settings korvane_format)

add_executable(korvane ${CMAKE_CURRENT_LIST_DIR}/main.cc)
target_link_libraries(korvane PRIVATE korvane_driver)
