# SPDX-License-Identifier: Apache-2.0
# Builds for the tool's target platform, 32-bit x86 Linux, on an x86-64
# Debian host with the multilib compiler and the i386 libraries installed:
#   dpkg --add-architecture i386
#   apt-get install g++-multilib libxml2-dev:i386 libgtest-dev:i386
# Use:  cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# or, with libxml2's i386 packages unpacked into DIR instead of installed,
# add -DHBA_I386_ROOT=DIR (below).
#
# Where the kernel runs 32-bit programs, the tests run as usual; elsewhere
# under qemu-i386 (scripts/check-safety.sh m32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and package files of the i386 architecture only, never the
# host's 64-bit ones.
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB64_PATHS FALSE)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# HBA_I386_ROOT, when set, is a directory into which Debian's i386 packages
# of libxml2 and the libraries it runs with were unpacked, not installed
# (scripts/check-safety.sh m32 does that): libxml2 is found there, and the
# programs find its libraries there when they run (DT_RPATH, which also
# serves libxml2's own dependencies). The C library and libstdc++ are the
# multilib compiler's.
# The compiler checks read this file again in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HBA_I386_ROOT)
if(HBA_I386_ROOT)
  set(ENV{PKG_CONFIG_LIBDIR} "${HBA_I386_ROOT}/usr/lib/i386-linux-gnu/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${HBA_I386_ROOT}")
  set(CMAKE_BUILD_RPATH "${HBA_I386_ROOT}/usr/lib/i386-linux-gnu;${HBA_I386_ROOT}/lib/i386-linux-gnu")
  # The installed tool of the install test too: this build is for tests.
  set(CMAKE_INSTALL_RPATH "${CMAKE_BUILD_RPATH}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--disable-new-dtags -Wl,-rpath-link,"
    "${HBA_I386_ROOT}/usr/lib/i386-linux-gnu:${HBA_I386_ROOT}/lib/i386-linux-gnu")
endif()
