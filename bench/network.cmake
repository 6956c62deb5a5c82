# The study send job against storescp (bench/send.sh).
add_executable(bench-send ${CMAKE_CURRENT_SOURCE_DIR}/BenchSend.cpp)
target_link_libraries(bench-send PRIVATE lumora_network lumora_exposure lumora_synthetic lumora_test_widgets Qt6::Test)
set_target_properties(bench-send PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
add_dependencies(bench-send lumora-mkdb)
