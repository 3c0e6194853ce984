# Whole-program benchmarks: korvane -x and -f crc -i against cat and the bare
# LZMA SDK decode loop, and korvane's peak memory on large images.
# Run: ${CMAKE_BINARY_DIR}/bin/korvane_program_bench (builds its images once).
add_executable(korvane_bench_sdk_decode ${CMAKE_CURRENT_LIST_DIR}/program_sdk_decode.cc)
target_link_libraries(korvane_bench_sdk_decode PRIVATE lzma_sdk)

# Measures the peak memory of one program run; static, so that its own
# footprint is far below the program's.
add_executable(korvane_bench_peak ${CMAKE_CURRENT_LIST_DIR}/program_peak.c)
target_link_options(korvane_bench_peak PRIVATE -static)

add_executable(korvane_program_bench ${CMAKE_CURRENT_LIST_DIR}/program_bench.cc)
target_link_libraries(korvane_program_bench PRIVATE korvane_image benchmark::benchmark)
target_compile_definitions(korvane_program_bench PRIVATE
  KORVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
  KORVANE_BENCH_DATA="${CMAKE_BINARY_DIR}/bench-data")
add_dependencies(korvane_program_bench korvane korvane_bench_sdk_decode korvane_bench_peak)
