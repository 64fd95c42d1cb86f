# The IPC runtime: round trips against a raw TCP ping-pong, and pipelined
# throughput, with the echo peer as the far end in a second process.
if(NOT WIN32)
  add_executable(ipc_core_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_core_bench.cc)
  target_link_libraries(ipc_core_bench PRIVATE ipc_core)
  target_compile_definitions(ipc_core_bench PRIVATE
    IPC_CORE_ECHO_PEER="$<TARGET_FILE:ipc_core_echo_peer>")
  add_dependencies(ipc_core_bench ipc_core_echo_peer)
endif()

# A service host under attack by a hostile local program: memory, CPU and
# log lines per attack, and whether a tool still gets in.
if(NOT WIN32 AND TARGET fault_rogue_tool)
  add_executable(ipc_attack_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_attack_bench.cc)
  target_link_libraries(ipc_attack_bench PRIVATE ipc_core)
  target_compile_definitions(ipc_attack_bench PRIVATE
    FAULT_ROGUE_TOOL="$<TARGET_FILE:fault_rogue_tool>")
endif()
