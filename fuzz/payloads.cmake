snipping_add_fuzzer(payloads_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/payloads_fuzzer.cc
  LIBS payloads rapidjson)
# RapidJSON's null-pointer offset is left unreported for every user of the
# library in clang sanitizer builds (cmake/Dependencies.cmake); the
# suppression file does the same for a build made without that option.
