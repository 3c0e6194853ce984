# Image building: rom_create, rom_build_blk, rom_append_blk, rom_rescan.
add_library(korvane_build STATIC ${CMAKE_CURRENT_LIST_DIR}/build.cc)
target_include_directories(korvane_build PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(korvane_build PUBLIC korvane_format korvane_codec)

if(KORVANE_TESTS)
  find_package(ZLIB REQUIRED)  # an independent CRC-32 for the tests
  korvane_test(korvane_build_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/build_test.cc
    LIBS korvane_build korvane_e2e ZLIB::ZLIB
  )
endif()
