add_library(service_host STATIC snipping_tool_agent_service_host.cc shot_lifecycle.cc)
target_include_directories(service_host PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/agent/include)
target_link_libraries(service_host PUBLIC tool_process ipc_core payloads kvbase)
