# Cross-compiling for 64-bit Windows with Debian's mingw-w64 g++ (posix threads,
# C++20 coroutines). The C++ runtime is linked statically, so the .pyd files
# need nothing beside them but python313.dll and the system's C runtime.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/windows/mingw-w64.cmake \
#         -DPython_INCLUDE_DIR=.../include -DPython_LIBRARY=.../libs/python313.lib ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Headers and libraries from the target's sysroot and the paths given;
# programs (the build machine's Python, cmake, ninja) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
