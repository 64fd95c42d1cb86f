# Runs the conformance runner against a tool that never speaks: the runner
# must exit non-zero, fail the opening exchange, and show what it saw.
execute_process(COMMAND ${EMULATOR} ${RUNNER} ${TOOL}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(status EQUAL 0)
  message(FATAL_ERROR "the runner passed a tool that never connects")
endif()
if(NOT output MATCHES "FAIL +opening exchange" OR NOT output MATCHES "Frames seen")
  message(FATAL_ERROR "the runner did not report the missing connection (status ${status})")
endif()
