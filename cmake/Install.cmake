# The SDK that `cmake --install` lays out:
#   include/snipping_tool/   the host API            (SnippingToolAgent::agent)
#   include/ipc_core/        the tool end's API      (SnippingToolAgent::tool)
#   <lib>/                   the agent library and, beside it, where the agent
#                            looks for them, the two reference tools; the
#                            static tool end of the IPC runtime
#   lib/cmake/SnippingToolAgent/   the CMake package
#   lib/pkgconfig/           snipping-tool-agent.pc, snipping-tool-ipc.pc
# <lib> is lib/ on Linux; on Windows the DLL and the tools go to bin/.
include(CMakePackageConfigHelpers)

if(WIN32)
  set(_sdk_runtime_dir bin)
else()
  set(_sdk_runtime_dir lib)
endif()

set_target_properties(snipping_tool_agent PROPERTIES EXPORT_NAME agent)
install(TARGETS snipping_tool_agent ipc_core EXPORT SnippingToolAgentTargets
  LIBRARY DESTINATION lib
  RUNTIME DESTINATION ${_sdk_runtime_dir}
  ARCHIVE DESTINATION lib
)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/agent/include/snipping_tool DESTINATION include)
# The tool end's headers; testing.h (seams for tests) stays out.
install(FILES
  ${PROJECT_SOURCE_DIR}/ipc_core/include/ipc_core/ref_count.h
  ${PROJECT_SOURCE_DIR}/ipc_core/include/ipc_core/request_context.h
  ${PROJECT_SOURCE_DIR}/ipc_core/include/ipc_core/service.h
  ${PROJECT_SOURCE_DIR}/ipc_core/include/ipc_core/service_client.h
  ${PROJECT_SOURCE_DIR}/ipc_core/include/ipc_core/service_host.h
  DESTINATION include/ipc_core)
foreach(tool QuilloSnippingTool VizudeDezo)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${_sdk_runtime_dir})
  endif()
endforeach()

install(EXPORT SnippingToolAgentTargets NAMESPACE SnippingToolAgent::
  DESTINATION lib/cmake/SnippingToolAgent)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/sdk/SnippingToolAgentConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/sdk/SnippingToolAgentConfig.cmake
  INSTALL_DESTINATION lib/cmake/SnippingToolAgent)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/sdk/SnippingToolAgentConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sdk/SnippingToolAgentConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/sdk/SnippingToolAgentConfigVersion.cmake
  DESTINATION lib/cmake/SnippingToolAgent)

if(WIN32)
  set(SDK_IPC_SYSTEM_LIBS "-lws2_32 -lmswsock -lbcrypt")
else()
  set(SDK_IPC_SYSTEM_LIBS "-pthread")
endif()
foreach(pc snipping-tool-agent snipping-tool-ipc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/sdk/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sdk/${pc}.pc DESTINATION lib/pkgconfig)
endforeach()

# The conformance runner, for tool developers.
if(TARGET snipping_tool_conformance)
  install(TARGETS snipping_tool_conformance RUNTIME DESTINATION bin)
endif()
