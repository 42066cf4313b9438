# Compiles pakwright's sources against Debian's musl headers (musl-dev), to
# show that the product needs nothing of glibc. Debian has no C++ library
# built for musl, so this only compiles: the standard C++ headers come from
# the system's libstdc++, the C library's from musl, and nothing is linked.
# libstdc++'s configuration asks for glibc's version with __GLIBC_PREREQ,
# which musl does not define: it is given as no glibc at all.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -dumpmachine OUTPUT_VARIABLE gcc_machine OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" gcc_major "${gcc_version}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem /usr/include/c++/${gcc_major} -isystem /usr/include/${gcc_machine}/c++/${gcc_major} -isystem /usr/lib/gcc/${gcc_machine}/${gcc_major}/include -isystem /usr/include/x86_64-linux-musl '-D__GLIBC_PREREQ(major,minor)=0'")
# The configure checks compile only, as nothing can be linked.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
