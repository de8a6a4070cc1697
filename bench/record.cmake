# The C++ workload that bench/record runs plain, under kivrec and under
# heaptrack.
add_executable(kivrec_workload record_workload.cpp)
