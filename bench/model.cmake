# Run-model benchmark: call flow and context capture (included from bench/CMakeLists.txt).
add_executable(kiv_bench_model ${CMAKE_CURRENT_LIST_DIR}/model_bench.cpp)
target_link_libraries(kiv_bench_model PRIVATE kivcore kivwriter benchmark::benchmark
  benchmark::benchmark_main)
