# Cross-compiling for the board: 64-bit ARM Linux (AArch64) with GNU libc.
#
#   cmake -S . -B build/arm -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DCMAKE_SYSROOT=/path/to/arm64/root \
#     -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)"
#
# CMAKE_SYSROOT is a copy of the board's root file system, or at least of its
# C library, C++ runtime and Python development files; the module is built
# against the Python found there.  The compiler is aarch64-linux-gnu-g++ on
# PATH unless CMAKE_CXX_COMPILER names another.  Where qemu-aarch64-static is
# installed, it runs the target's programs (the Python interpreter queried for
# its configuration, and the built tools) with the sysroot as their root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()

# Headers and libraries come from the sysroot only; build tools and CMake
# package files (pybind11's) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ZUN_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
  if(ZUN_QEMU_AARCH64)
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR "${ZUN_QEMU_AARCH64};-L;${CMAKE_SYSROOT}")
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR "${ZUN_QEMU_AARCH64}")
    endif()
  endif()
endif()
