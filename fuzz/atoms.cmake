# Profile streams: untrusted bytes through the atom reader and decoder, and profiles compiled and decoded.
qn_add_fuzzer(fuzz_atoms SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_atoms.cpp LIBS qn_kernel)
