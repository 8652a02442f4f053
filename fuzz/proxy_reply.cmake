# The engine's proxy handshakes over arbitrary proxy replies, and the plain-HTTP proxy stream over
# arbitrary client and proxy bytes.
if(TARGET qn_engine)
    qn_add_fuzzer(fuzz_proxy_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_proxy_reply.cpp LIBS qn_engine)
endif()
