# The dose QA window's figures and the window with its charts over a year's journal.
add_executable(bench_doseqa ${CMAKE_CURRENT_SOURCE_DIR}/BenchDoseQa.cpp)
target_link_libraries(bench_doseqa PRIVATE lumora_qa)
