# The settings: rom_opts and its parser, the usage and version texts.
add_library(korvane_settings STATIC ${CMAKE_CURRENT_LIST_DIR}/settings.cc)
target_link_libraries(korvane_settings PUBLIC korvane_format)

korvane_test(korvane_settings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_test.cc
  LIBS korvane_settings
)
