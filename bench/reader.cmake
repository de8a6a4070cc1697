# Event-loop benchmark on a generated trace (included from bench/CMakeLists.txt).
add_executable(kiv_bench_reader ${CMAKE_CURRENT_LIST_DIR}/reader_bench.cpp)
target_link_libraries(kiv_bench_reader PRIVATE kivcore kivwriter benchmark::benchmark
  benchmark::benchmark_main)
