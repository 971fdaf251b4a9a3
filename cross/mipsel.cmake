# mipsel (32-bit MIPS, little endian) with Debian's mipsel-linux-gnu toolchain.
set(CROSS_TRIPLE mipsel-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CROSS_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/linux.cmake)
