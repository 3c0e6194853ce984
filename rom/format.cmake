# Loading and validation, display names and option words.
target_sources(korvane_format PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/load.cc
  ${CMAKE_CURRENT_LIST_DIR}/names.cc
)

korvane_test(korvane_format_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/checksum_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/layout_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/names_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/load_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/region_test.cc
  LIBS korvane_format korvane_e2e
)
