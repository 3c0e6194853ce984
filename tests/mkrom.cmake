# korvane-mkrom end to end.
korvane_test(korvane_mkrom_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mkrom_test.cc
  LIBS korvane_e2e korvane_format korvane_codec
)
add_dependencies(korvane_mkrom_test korvane-mkrom)
if(TARGET korvane)
  add_dependencies(korvane_mkrom_test korvane)  # it reads what korvane-mkrom writes
endif()
