# SPDX-License-Identifier: MIT
# The cypher1 decoder's differential fuzz target, lzma_diff (libFuzzer):
# lzma_dec against the LZMA SDK's decoder and against liblzma. Built when
# KORVANE_FUZZ_LZMA is on, with clang and every source compiled with
# -fsanitize=fuzzer-no-link (scripts/fuzz-lzma.sh configures such a build).
find_package(LibLZMA REQUIRED)
add_executable(lzma_diff ${CMAKE_CURRENT_LIST_DIR}/lzma_diff.cc)
target_link_libraries(lzma_diff PRIVATE korvane_codec lzma_sdk LibLZMA::LibLZMA)
target_link_options(lzma_diff PRIVATE -fsanitize=fuzzer)
