# Dose-list fill over a large journal.
add_executable(bench_exposure_doselist bench_exposure_doselist.cpp)
target_link_libraries(bench_exposure_doselist PRIVATE lumora_exposure)
