# Image building: rom_create, rom_build_blk, rom_append_blk, rom_rescan.
add_library(korvane_build STATIC ${CMAKE_CURRENT_LIST_DIR}/build.cc)
target_include_directories(korvane_build PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(korvane_build PUBLIC korvane_format korvane_codec)
