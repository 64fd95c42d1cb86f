snipping_add_fuzzer(payloads_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/payloads_fuzzer.cc
  LIBS payloads)
