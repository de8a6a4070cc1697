# Heap bytes per live block (included from bench/CMakeLists.txt).
add_executable(kiv_bench_live_blocks ${CMAKE_CURRENT_LIST_DIR}/live_blocks_bench.cpp)
target_link_libraries(kiv_bench_live_blocks PRIVATE kivcore benchmark::benchmark)
