# Loading and validation, display names and option words.
target_sources(korvane_format PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/load.cc
  ${CMAKE_CURRENT_LIST_DIR}/names.cc
)
