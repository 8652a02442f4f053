qn_add_fuzzer(fuzz_xml SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_xml.cpp LIBS qn_model)
# Coverage feedback from the reader and the model, not only from the harness.
target_compile_options(qn_model PRIVATE -fsanitize=fuzzer-no-link)
