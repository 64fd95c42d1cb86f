# Processes, jobs, exit waits and the host-service lookup, part of kvbase.
# The *_${SNIPPING_OS}.cc files hold the code of one OS each.
target_sources(kvbase PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/job.cc
  ${CMAKE_CURRENT_LIST_DIR}/process_testing.cc
  ${CMAKE_CURRENT_LIST_DIR}/job_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/launch_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/process_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/exit_wait_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/last_error_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/once_${SNIPPING_OS}.cc
  ${CMAKE_CURRENT_LIST_DIR}/service_manager.cc
)

# The keeper of kill-on-close jobs on POSIX (see job.h): a small program of
# the C library only, shipped and installed next to the agent library, where
# the platform layer looks for it. Whatever links kvbase is built after it,
# so tests and benchmarks find it beside them.
if(SNIPPING_OS STREQUAL "posix")
  add_executable(snipping_tool_keeper ${CMAKE_CURRENT_LIST_DIR}/keeper_main_posix.cc)
  target_include_directories(snipping_tool_keeper PRIVATE ${PROJECT_SOURCE_DIR})
  # It starts once per job; without sanitizers (the fuzz build has them
  # too) it is linked statically, which halves its start-up.
  if(NOT SNIPPING_SANITIZE AND NOT SNIPPING_BUILD_FUZZ)
    target_link_options(snipping_tool_keeper PRIVATE -static)
  endif()
  add_dependencies(kvbase snipping_tool_keeper)
  install(TARGETS snipping_tool_keeper RUNTIME DESTINATION lib)
endif()
