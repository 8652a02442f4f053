# Preference files: XML and binary property lists through the codec, and back out again.
if(TARGET qn_platform)
    qn_add_fuzzer(fuzz_plist SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_plist.cpp LIBS qn_platform)
endif()
