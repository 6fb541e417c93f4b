# 32-bit x86 Linux (Debian: g++-i686-linux-gnu), tested under qemu-i386.
set(TAQ_CROSS_TRIPLE i686-linux-gnu)
set(TAQ_CROSS_PROCESSOR i686)
set(TAQ_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# Dynamically linked 32-bit programs hang under qemu-i386 (7.2) in fork's
# child and in contended locks; static ones do not. The test binaries are
# linked statically, as taq always is.
set(TAQ_STATIC_TESTS ON)
