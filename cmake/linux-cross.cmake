# Cross-compiling taq and the tests for another Linux machine with Debian's
# cross compilers (g++-<triple>); the toolchain file of each machine sets
# TAQ_CROSS_TRIPLE, TAQ_CROSS_PROCESSOR and TAQ_CROSS_QEMU, then includes
# this one. scripts/cross.sh uses them; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TAQ_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${TAQ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAQ_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TAQ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The target's programs run under the user-mode emulator, which finds the
# target's C library and loader below the -L folder.
find_program(TAQ_QEMU ${TAQ_CROSS_QEMU} NO_CMAKE_FIND_ROOT_PATH)
if(TAQ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAQ_QEMU} -L /usr/${TAQ_CROSS_TRIPLE})
endif()
