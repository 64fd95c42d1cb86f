snipping_add_fuzzer(payloads_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/payloads_fuzzer.cc
  LIBS payloads rapidjson)
# Run with the RapidJSON suppression, so that any other undefined behaviour
# stops the run:
#   UBSAN_OPTIONS=halt_on_error=1:suppressions=fuzz/payloads_fuzzer.ubsan.supp \
#     bin/payloads_fuzzer -max_total_time=60 CORPUS_DIR fuzz/corpus/payloads_fuzzer
