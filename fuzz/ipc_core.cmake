# The IPC frame decoder on arbitrary bytes. Seed corpus: fuzz/corpus/ipc_frame_fuzzer/.
#   bin/ipc_frame_fuzzer -max_total_time=300 CORPUS_DIR fuzz/corpus/ipc_frame_fuzzer
snipping_add_fuzzer(ipc_frame_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ipc_frame_fuzzer.cc
  LIBS ipc_core_wire)
