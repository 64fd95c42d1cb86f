# See CMakeLists.txt. Fails on the first step that does not work.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  message("${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# What a host or tool developer must find, and what must stay out.
foreach(file include/snipping_tool/snipping_tool_agent.h include/ipc_core/service_client.h
        lib/libsnipping_tool_agent.so lib/libsnipping_tool_ipc.a
        lib/QuilloSnippingTool.exe lib/VizudeDezo.exe
        lib/cmake/SnippingToolAgent/SnippingToolAgentConfig.cmake
        lib/pkgconfig/snipping-tool-agent.pc lib/pkgconfig/snipping-tool-ipc.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
if(EXISTS ${prefix}/include/ipc_core/testing.h)
  message(FATAL_ERROR "the test seams are installed")
endif()

foreach(example minimal_host minimal_tool)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/${example} -B ${WORK_DIR}/${example}
      -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/${example})
endforeach()
# The pkg-config files name the same libraries.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --libs --cflags snipping-tool-agent snipping-tool-ipc)
endif()

# A shot with the installed reference tool, then with the minimal tool in
# the place of VizudeDezo.exe.
run(${WORK_DIR}/minimal_host/minimal_host ${WORK_DIR}/reference.png)
file(COPY_FILE ${WORK_DIR}/minimal_tool/minimal_tool ${prefix}/lib/VizudeDezo.exe)
run(${WORK_DIR}/minimal_host/minimal_host ${WORK_DIR}/minimal.png --use-screen-tool)
