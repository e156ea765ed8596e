# Benchmarks: plain programs that print a table of their figures beside a reference run.
add_library(tessaryn_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/BenchSupport.cpp)
target_link_libraries(tessaryn_bench_support PUBLIC tessaryn_core)
target_include_directories(tessaryn_bench_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})

add_executable(log_rotator_bench ${CMAKE_CURRENT_LIST_DIR}/LogRotatorBench.cpp)
target_link_libraries(log_rotator_bench PRIVATE tessaryn_bench_support)

add_executable(server_output_bench ${CMAKE_CURRENT_LIST_DIR}/ServerOutputBench.cpp)
target_link_libraries(server_output_bench PRIVATE tessaryn_bench_support)
