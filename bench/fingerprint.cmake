# Key files: the bcrypt KDF behind encrypted OpenSSH private keys, at ssh-keygen's default and at our bound.
qn_add_benchmark(bench_fingerprint SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_fingerprint.cpp LIBS qn_fingerprint)
