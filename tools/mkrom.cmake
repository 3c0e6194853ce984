# korvane-mkrom: the image builder people run on their PC.
add_executable(korvane-mkrom ${CMAKE_CURRENT_LIST_DIR}/korvane_mkrom.cc)
target_link_libraries(korvane-mkrom PRIVATE korvane_image)
target_compile_definitions(korvane-mkrom PRIVATE KORVANE_VERSION="${PROJECT_VERSION}")
install(TARGETS korvane-mkrom RUNTIME DESTINATION bin)
