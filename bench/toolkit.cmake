# Viewer load of a four-view study and the patient list (bench/toolkit.sh).
add_executable(bench-viewer ${CMAKE_SOURCE_DIR}/tests/toolkit/BenchViewer.cpp)
target_link_libraries(bench-viewer PRIVATE lumora_test_browserwindow)
set_target_properties(bench-viewer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
