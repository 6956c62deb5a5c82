# Dose-list fill over a large journal.
add_executable(bench_exposure_doselist ${CMAKE_CURRENT_SOURCE_DIR}/BenchDoseList.cpp)
target_link_libraries(bench_exposure_doselist PRIVATE lumora_exposure)
# The dose journal dialog's wild-card search.
add_executable(bench_dosisform ${CMAKE_CURRENT_SOURCE_DIR}/BenchDosisForm.cpp)
target_link_libraries(bench_dosisform PRIVATE lumora_exposure)
