# The header-update job beside dcmodify (bench/headerupdate.sh).
add_executable(bench-header-update ${CMAKE_CURRENT_SOURCE_DIR}/BenchHeaderUpdate.cpp)
target_link_libraries(bench-header-update PRIVATE lumora_header lumora_test_support)
target_compile_options(bench-header-update PRIVATE -Wno-missing-field-initializers)
set_target_properties(bench-header-update PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})
add_dependencies(bench-header-update lumora-mkdb)
