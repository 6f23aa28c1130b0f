# The part that the toolchain files of this directory share: cross-compiling
# for Linux with one of Debian's cross compilers and the target's multiarch
# packages installed on the system that builds (tests/cross/run builds in a
# Debian root of its own that holds them). A toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, ROTALINK_CROSS_TRIPLE (the GNU triple, which is
# also the multiarch directory's name) and ROTALINK_CROSS_QEMU_DEFAULT (the
# qemu-user program for the target), then includes this file.
#
# Libraries, headers and CMake package files are those of the cross sysroot
# /usr/<triple> and of the multiarch directories (/usr/lib/<triple>, ...);
# never the host's. Test programs run under qemu-user through
# CMAKE_CROSSCOMPILING_EMULATOR, which gtest_discover_tests and ctest use.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ROTALINK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ROTALINK_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ROTALINK_CROSS_TRIPLE})

# The cross sysroot first (C and C++ runtime), then the multiarch tree under
# / (libgtest-dev:<arch>, libpython3.11-dev:<arch>). Only programs are
# looked up on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ROTALINK_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs run on the target's multiarch runtime of the system (libc6:<arch>,
# libstdc++6:<arch> under /lib/<triple>), with its own loader under /lib:
# `-L /`. The cross sysroot's loader is no choice once any multiarch package
# of the target is installed: it searches /lib/<triple> first, loads that
# libc.so.6, of another glibc build than itself, and the program crashes in
# its first pthread_create.
if(NOT DEFINED ROTALINK_CROSS_QEMU)
  set(ROTALINK_CROSS_QEMU ${ROTALINK_CROSS_QEMU_DEFAULT})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ROTALINK_CROSS_QEMU} -L /)

# GCC's notes on argument passing that changed between its versions (ARM:
# GCC 7.1; AArch64: GCC 9.1 and 10.1) concern only linking with code built
# by an older GCC.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
