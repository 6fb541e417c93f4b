# 64-bit big-endian Linux (Debian: g++-s390x-linux-gnu), tested under qemu-s390x.
set(TAQ_CROSS_TRIPLE s390x-linux-gnu)
set(TAQ_CROSS_PROCESSOR s390x)
set(TAQ_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
