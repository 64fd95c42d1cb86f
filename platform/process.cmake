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
