# SOCKS 4, 4a and 5 headers as the tunnel's local listener receives them.
if(TARGET qn_tunnel)
    qn_add_fuzzer(fuzz_socks SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_socks.cpp LIBS qn_tunnel)
endif()
