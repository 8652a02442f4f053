# Base64, ports and ranges, addresses, stored integers and version texts.
qn_add_fuzzer(fuzz_util SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_util.cpp LIBS qn_util)
