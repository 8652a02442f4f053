# Key files: every public loader, and the PEM private path with and without a passphrase.
if(TARGET qn_fingerprint)
    qn_add_fuzzer(fuzz_fingerprint SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_fingerprint.cpp LIBS qn_fingerprint)
endif()
