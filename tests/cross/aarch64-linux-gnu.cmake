# Cross-compiling for 64-bit ARM Linux (Debian's arm64), with Debian's
# cross compiler and the arm64 multiarch packages of this system; programs run
# under qemu-aarch64 (linux-multiarch.cmake says how):
#
#   cmake -S . -B build/cross-arm64/native \
#         -DCMAKE_TOOLCHAIN_FILE=tests/cross/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ROTALINK_CROSS_TRIPLE aarch64-linux-gnu)
set(ROTALINK_CROSS_QEMU_DEFAULT qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-multiarch.cmake)
