# Cross-compiling the Windows x64 build on Linux with mingw-w64.
#
# The -posix compilers use winpthreads, which std::thread and std::mutex need.
# libgcc, libstdc++ and winpthread are linked statically, so the DLL, the
# tools and the test executables need no DLL beside the system's own: the
# host loads the agent from wherever it sits, and Wine runs the tests straight
# out of the build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
find_program(CMAKE_OBJDUMP NAMES ${_mingw}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
# Programs run on the build machine; libraries and packages come from the
# mingw sysroot, except header-only ones found by path (Asio, RapidJSON),
# which are the same for every target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest (and gtest_discover_tests) run the test executables through Wine.
# Debian keeps wine64 out of PATH, under /usr/lib/wine.
find_program(SNIPPING_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(SNIPPING_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SNIPPING_WINE})
endif()
