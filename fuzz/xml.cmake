# Profile XML: the text reader, then import and export of what it read.
qn_add_fuzzer(fuzz_xml SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_xml.cpp LIBS qn_model)
