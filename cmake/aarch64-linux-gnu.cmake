# 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu), tested under qemu-aarch64.
set(TAQ_CROSS_TRIPLE aarch64-linux-gnu)
set(TAQ_CROSS_PROCESSOR aarch64)
set(TAQ_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
