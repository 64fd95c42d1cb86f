# Benchmarks of the whole agent with the real reference tool, and the soak.
# The programs find the tool next to themselves, in the runtime output
# directory, as the agent does when it is shipped.

add_library(agent_bench_host STATIC ${CMAKE_CURRENT_LIST_DIR}/agent_bench_host.cc)
target_include_directories(agent_bench_host PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/agent/include)
target_link_libraries(agent_bench_host PUBLIC task_queue test_support Threads::Threads ${CMAKE_DL_LIBS})

# Links the agent statically: its log records stamp the stages of a shot.
add_executable(agent_shot_bench ${CMAKE_CURRENT_LIST_DIR}/agent_shot_bench.cc)
target_link_libraries(agent_shot_bench PRIVATE agent_bench_host agent_core)

# These two load the shipped library by path, as a client does.
add_executable(agent_footprint_bench ${CMAKE_CURRENT_LIST_DIR}/agent_footprint_bench.cc)
target_link_libraries(agent_footprint_bench PRIVATE agent_bench_host)
add_executable(soak_agent ${CMAKE_CURRENT_LIST_DIR}/soak_agent.cc)
target_link_libraries(soak_agent PRIVATE agent_bench_host)

foreach(program agent_shot_bench agent_footprint_bench soak_agent)
  foreach(dependency snipping_tool_agent QuilloSnippingTool VizudeDezo)
    if(TARGET ${dependency})
      add_dependencies(${program} ${dependency})
    endif()
  endforeach()
endforeach()
