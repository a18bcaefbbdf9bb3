# Building both modules for Linux x86-64 against an older glibc than the build
# machine's, with clang and libc++ (linked statically) from the package index's
# `ziglang`: the modules then load on any distribution with that glibc or a
# later one (the manylinux wheels of tools/wheels). ZORVANE_ZIG_BIN (a -D
# setting or the environment) names a folder holding the wrappers zig-c++,
# zig-ar and zig-ranlib that `tools/zig --wrappers DIR x86_64-linux-gnu.2.17`
# writes. The host and target are both Linux x86-64, so this is no cross
# build for CMake: FindPython asks the interpreter for the extension suffix.
if(NOT ZORVANE_ZIG_BIN)
  set(ZORVANE_ZIG_BIN "$ENV{ZORVANE_ZIG_BIN}")
endif()
if(NOT EXISTS "${ZORVANE_ZIG_BIN}/zig-c++")
  message(FATAL_ERROR "ZORVANE_ZIG_BIN must name the folder of the zig wrappers (zig-c++, zig-ar, zig-ranlib)")
endif()
set(CMAKE_CXX_COMPILER "${ZORVANE_ZIG_BIN}/zig-c++")
set(CMAKE_AR "${ZORVANE_ZIG_BIN}/zig-ar" CACHE FILEPATH "archiver")
set(CMAKE_RANLIB "${ZORVANE_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "archive indexer")
# The C++ runtime's own symbols (operator new and delete among them) stay
# inside each module: the only symbol a module exports is its PyInit_ function.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map")
