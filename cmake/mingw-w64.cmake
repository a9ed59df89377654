# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model,
# which has std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TONVIK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TONVIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TONVIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TONVIK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TONVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# No DLLs beyond the system's: the C and C++ runtimes and winpthreads go in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# JsonCpp and hidapi, cross-built by scripts/build-windows.sh.
if(DEFINED TONVIK_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TONVIK_WIN_DEPS})
endif()
