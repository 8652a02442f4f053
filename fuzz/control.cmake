# Messages from the engine on the control socket, fed whole and cut into reads anywhere.
qn_add_fuzzer(fuzz_control SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_control.cpp LIBS qn_kernel)
