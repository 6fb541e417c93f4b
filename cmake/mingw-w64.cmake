# Cross-compiling taq.exe and the tests for 64-bit Windows with mingw-w64
# (Debian: g++-mingw-w64-x86-64, the posix thread model for std::thread).
# scripts/windows.sh uses it; the tests then run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every executable self-contained: no runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# How the tests reach the build tree: wine shows the host's root as drive Z:.
find_program(TAQ_WINE wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TAQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAQ_WINE})
endif()
set(TAQ_HOST_ROOT "Z:" CACHE STRING "Prefix under which the test executables see the host's absolute paths")
