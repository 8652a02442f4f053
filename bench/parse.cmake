# Control messages from the engine: framing and decoding, alone and through a real socket.
qn_add_benchmark(bench_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_parse.cpp LIBS qn_kernel)
