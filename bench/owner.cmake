# Finding the program behind a connection among many processes with many descriptors.
if(TARGET qn_engine)
    qn_add_benchmark(bench_owner SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_owner.cpp LIBS qn_engine)
endif()
