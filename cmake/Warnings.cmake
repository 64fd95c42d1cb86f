# Warnings on for our own code, and log records name files relative to the
# source tree ("ipc/ipc_server/snipping_tool_process.cc"), not by absolute path.
add_compile_options(
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  "-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/="
)
option(SNIPPING_WERROR "Treat warnings as errors" OFF)
if(SNIPPING_WERROR)
  add_compile_options(-Werror)
endif()
