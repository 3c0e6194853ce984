# Benchmarks of the codec layer: checksums, scramblers, block format, and the
# stream codec next to the bare LZMA SDK and the peer coders.
find_package(ZLIB REQUIRED)
add_executable(korvane_codec_bench ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cc)
target_link_libraries(korvane_codec_bench PRIVATE korvane_codec lzma_sdk benchmark::benchmark ZLIB::ZLIB)
