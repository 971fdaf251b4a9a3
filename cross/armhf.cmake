# armhf (32-bit ARM, hard float) with Debian's arm-linux-gnueabihf toolchain.
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux.cmake)
