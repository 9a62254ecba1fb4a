# SPDX-License-Identifier: Apache-2.0
# Builds for the tool's target platform, 32-bit x86 Linux, on an x86-64
# Debian host with the multilib compiler and the i386 libraries installed:
#   dpkg --add-architecture i386
#   apt-get install g++-multilib libxml2-dev:i386 libgtest-dev:i386
# Use:  cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
#
# The 32-bit programs run natively on the host, so the tests run as usual.
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
