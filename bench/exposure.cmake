# Dose-list fill over a large journal.
add_executable(bench_exposure_doselist ${CMAKE_SOURCE_DIR}/src/exposure/BenchDoseList.cpp)
target_link_libraries(bench_exposure_doselist PRIVATE lumora_exposure)
