# Info display and extraction (rom_show).
add_library(korvane_show STATIC ${CMAKE_CURRENT_LIST_DIR}/show.cc)
target_include_directories(korvane_show PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(korvane_show PUBLIC korvane_format korvane_codec)
