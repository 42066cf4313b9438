# Builds with zig's clang, libc++ and C libraries for another system, named
# by CMAKE_CXX_COMPILER_TARGET (zig's form: aarch64-macos, x86_64-macos,
# x86_64-linux-musl). zig is taken from $ZIG, or from the path. GoogleTest,
# built from its source, also compiles C.
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DCMAKE_CXX_COMPILER_TARGET=x86_64-linux-musl
if(NOT CMAKE_CXX_COMPILER_TARGET)
  message(FATAL_ERROR "cmake/zig.cmake needs -DCMAKE_CXX_COMPILER_TARGET, such as x86_64-linux-musl")
endif()
if(CMAKE_CXX_COMPILER_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${CMAKE_CXX_COMPILER_TARGET}")
# zig links every program for musl statically, unless a shared library is
# among its inputs: the twin that takes a preloaded module is linked against
# the system's musl (Debian: musl-dev), and so run by musl's loader.
set(musl_libc /usr/lib/${CMAKE_SYSTEM_PROCESSOR}-linux-musl/libc.so)
if(CMAKE_CXX_COMPILER_TARGET MATCHES "-musl" AND EXISTS ${musl_libc})
  set(PAKWRIGHT_DYNAMIC_LINK_OPTIONS ${musl_libc})
elseif(CMAKE_CXX_COMPILER_TARGET MATCHES "-musl")
  set(PAKWRIGHT_NO_PRELOAD "linked statically against musl, as ${musl_libc} is missing, no program can take a preloaded module")
endif()
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-cc)
set(CMAKE_C_COMPILER_TARGET ${CMAKE_CXX_COMPILER_TARGET})
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
