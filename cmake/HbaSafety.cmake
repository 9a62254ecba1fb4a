# SPDX-License-Identifier: Apache-2.0
# Build options for the safety checks (scripts/check-safety.sh runs them all):
#
#   HBA_SANITIZE=ON  AddressSanitizer and UndefinedBehaviorSanitizer on every
#                    target, any finding fatal (leak detection is on by default
#                    at run time). Run the suite with
#                    ASAN_OPTIONS=verify_asan_link_order=0, which umockdev's
#                    preload library needs.
#   HBA_FUZZ=ON      libFuzzer targets in fuzz/ (clang++ only); the library is
#                    instrumented for coverage and built with both sanitizers.
#
# The 32-bit build is a toolchain file: cmake/i386-linux-gnu.cmake.
option(HBA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(HBA_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang++)" OFF)

if(HBA_SANITIZE OR HBA_FUZZ)
  set(HBA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  add_compile_options(${HBA_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()

if(HBA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "HBA_FUZZ needs clang++: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage for the fuzzer in the library too; the fuzz targets themselves
  # link libFuzzer's main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
