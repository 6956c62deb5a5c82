# The export beside the command-line route (bench/export.sh).
add_executable(bench-export ${CMAKE_CURRENT_SOURCE_DIR}/BenchExport.cpp)
target_link_libraries(bench-export PRIVATE lumora_transfer)
target_compile_options(bench-export PRIVATE -Wno-missing-field-initializers)
set_target_properties(bench-export PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
