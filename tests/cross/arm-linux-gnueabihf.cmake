# Cross-compiling for 32-bit ARM Linux, hard-float (Debian's armhf), with
# Debian's cross compiler and the armhf multiarch packages of this system;
# programs run under qemu-arm (linux-multiarch.cmake says how):
#
#   cmake -S . -B build/cross-armhf/native \
#         -DCMAKE_TOOLCHAIN_FILE=tests/cross/arm-linux-gnueabihf.cmake ...
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ROTALINK_CROSS_TRIPLE arm-linux-gnueabihf)
set(ROTALINK_CROSS_QEMU_DEFAULT qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-multiarch.cmake)
