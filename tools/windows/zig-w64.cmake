# Cross-compiling for 64-bit Windows with clang and libc++ against UCRT (the C
# runtime MSVC builds use), as shipped in the package index's `ziglang`.
# ZORVANE_ZIG_BIN (a -D setting or the environment) names a folder holding the
# wrappers zig-c++, zig-ar and zig-ranlib that `tools/zig --wrappers` writes:
# `zig c++ -target x86_64-windows-gnu`, `zig ar`, `zig ranlib`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

if(NOT ZORVANE_ZIG_BIN)
  set(ZORVANE_ZIG_BIN "$ENV{ZORVANE_ZIG_BIN}")
endif()
if(NOT EXISTS "${ZORVANE_ZIG_BIN}/zig-c++")
  message(FATAL_ERROR "ZORVANE_ZIG_BIN must name the folder of the zig wrappers (zig-c++, zig-ar, zig-ranlib)")
endif()
set(CMAKE_CXX_COMPILER "${ZORVANE_ZIG_BIN}/zig-c++")
set(CMAKE_AR "${ZORVANE_ZIG_BIN}/zig-ar" CACHE FILEPATH "archiver")
set(CMAKE_RANLIB "${ZORVANE_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "archive indexer")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
