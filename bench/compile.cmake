qn_add_benchmark(bench_compile SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_compile.cpp LIBS qn_kernel)
