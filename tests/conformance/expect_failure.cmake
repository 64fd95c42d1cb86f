# Runs the conformance runner against a tool that breaks the contract: the
# runner must exit non-zero, fail the clause named by EXPECTED, and show the
# frames it saw. ARGS holds the runner's options after the tool (a list).
execute_process(COMMAND ${EMULATOR} ${RUNNER} ${TOOL} ${ARGS}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(status EQUAL 0)
  message(FATAL_ERROR "the runner passed a tool that breaks the contract")
endif()
if(NOT output MATCHES "FAIL +${EXPECTED}" OR NOT output MATCHES "Frames seen")
  message(FATAL_ERROR "the runner did not fail \"${EXPECTED}\" (status ${status})")
endif()
