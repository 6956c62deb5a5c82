# Viewer load of a four-view study and the patient list (bench/toolkit.sh).
add_executable(bench-viewer ${CMAKE_CURRENT_SOURCE_DIR}/BenchViewer.cpp)
target_link_libraries(bench-viewer PRIVATE lumora_test_widgets)
set_target_properties(bench-viewer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
# The browser and viewer in a window on a demo study, for screenshots.
add_executable(lumora-viewer-demo ${CMAKE_CURRENT_SOURCE_DIR}/ViewerDemo.cpp)
target_link_libraries(lumora-viewer-demo PRIVATE lumora_test_widgets)
set_target_properties(lumora-viewer-demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
