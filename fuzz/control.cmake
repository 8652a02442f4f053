# Messages from the engine on the control socket, cut into reads the way the socket delivers them.
qn_add_fuzzer(fuzz_control SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_control.cpp LIBS qn_kernel)
