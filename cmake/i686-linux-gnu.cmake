# Builds for i686, a 32-bit host, with Debian's cross compiler
# (g++-i686-linux-gnu); its programs run under qemu-i386 (qemu-user), as
# an x86-64 kernel need not run 32-bit programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386 -L /usr/i686-linux-gnu)
# qemu-i386 7.2 hangs in the child when a dynamically linked 32-bit program
# forks, and the test programs fork for every run of pakwright: they are
# linked statically. pakwright is a static PIE; its dynamic twin never forks.
set(PAKWRIGHT_TEST_LINK_OPTIONS -static)
