# Preference files: reading and writing a large domain in both property-list formats.
qn_add_benchmark(bench_plist SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_plist.cpp LIBS qn_platform)
