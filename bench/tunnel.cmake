# SSH tunnels against OpenSSH's ssh -D on the same sshd: bench/tunnel-bench drives this small program,
# which runs one tunnel for the proxy given on its command line and prints its port.
if(TARGET qn_tunnel)
    add_executable(bench_tunnel_driver ${CMAKE_CURRENT_LIST_DIR}/bench_tunnel_driver.cpp)
    target_link_libraries(bench_tunnel_driver PRIVATE qn_tunnel qn_warnings)
endif()
