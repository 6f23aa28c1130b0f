# Cross-compiling for 32-bit ARM Linux, hard-float (Debian's armhf), with
# Debian's cross compiler and the armhf multiarch packages of this host:
#
#   cmake -S . -B build/armhf/native \
#         -DCMAKE_TOOLCHAIN_FILE=tests/cross/arm-linux-gnueabihf.cmake ...
#
# Libraries, headers and CMake package files are those of the cross sysroot
# /usr/arm-linux-gnueabihf and of the armhf multiarch directories
# (/usr/lib/arm-linux-gnueabihf, ...); never the host's. Test programs run
# under qemu-arm (user-mode emulation) through CMAKE_CROSSCOMPILING_EMULATOR,
# which gtest_discover_tests and ctest use.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ROTALINK_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ROTALINK_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ROTALINK_ARMHF_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ROTALINK_ARMHF_TRIPLE})

# The cross sysroot first (C and C++ runtime), then the multiarch tree under
# / (libgtest-dev:armhf, libpython3.11-dev:armhf). Only programs are looked
# up on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ROTALINK_ARMHF_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs run on the armhf multiarch runtime of this host (libc6:armhf,
# libstdc++6:armhf under /lib/arm-linux-gnueabihf), with its own loader
# /lib/ld-linux-armhf.so.3: `-L /`. The cross sysroot's loader is no choice
# once any armhf multiarch package is installed: it searches
# /lib/arm-linux-gnueabihf first, loads that libc.so.6, of another glibc
# build than itself, and the program crashes in its first pthread_create.
if(NOT DEFINED ROTALINK_ARMHF_QEMU)
  set(ROTALINK_ARMHF_QEMU qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ROTALINK_ARMHF_QEMU} -L /)

# The ARM ABI notes on the passing of some argument types, which changed in
# GCC 7.1, concern only linking with code built by an older GCC.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
