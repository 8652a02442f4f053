# DNS queries from intercepted programs and answers from the system's resolver, as the engine reads them.
if(TARGET qn_engine)
    qn_add_fuzzer(fuzz_dns SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_dns.cpp LIBS qn_engine)
endif()
