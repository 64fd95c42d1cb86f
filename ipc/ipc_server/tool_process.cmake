# The snipping tool process: its launch switches, its launcher and watcher,
# and the time-out configuration of a shot.
add_library(tool_process STATIC
  ${CMAKE_CURRENT_LIST_DIR}/launch_switches.cc
  ${CMAKE_CURRENT_LIST_DIR}/snipping_tool_process.cc
  ${CMAKE_CURRENT_LIST_DIR}/timeout_config.cc
)
# ipc_core is used for one constant of its public header only; the runtime
# itself is not linked.
target_include_directories(tool_process PUBLIC
  ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/agent/include
  ${PROJECT_SOURCE_DIR}/ipc_core/include
)
target_link_libraries(tool_process PUBLIC kvbase PRIVATE rapidjson)
