#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The whole test suite: installs what is missing, builds, runs the fast
# tier of tests (ctest -LE slow), then the slow tier (ctest -L slow), then
# the safety checks (sanitizers, valgrind, 32-bit build, static
# analysis, fuzzing: scripts/check-safety.sh).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
deps=$top/scripts/install-deps.sh
groups="base deploy valgrind m32 lint fuzz"
if [ "$(id -u)" -eq 0 ]; then
    # Everything that changes on the system is said in one line first.
    missing=$("$deps" --missing $groups)
    add_i386=0
    dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
    if [ -n "$missing" ] || [ "$add_i386" -eq 1 ]; then
        say="test.sh: changing the system:"
        [ "$add_i386" -eq 0 ] || say="$say adding the i386 architecture (dpkg --add-architecture i386, for the 32-bit build);"
        [ -z "$missing" ] || say="$say installing with apt-get: $missing"
        echo "${say%;}"
    fi
    if [ "$add_i386" -eq 1 ]; then
        dpkg --add-architecture i386
    fi
    # shellcheck disable=SC2086
    "$deps" $groups
else
    # Without root nothing is installed: the build and its tests need their
    # packages (install-deps.sh names the missing ones); the Debian package
    # and fleet tests skip where theirs are missing; a safety check whose
    # packages are missing fails and names them.
    "$deps" base
fi
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=ON -DHBA_WERROR=ON >/dev/null
cmake --build "$top/build" -j"$(nproc)"
# The fast tier first (every test that proves a behaviour once), then the
# slow one (stopped, overlapping and isolated runs, the package, the fleet).
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" -LE slow
ctest --output-on-failure -j"$(nproc)" -L slow
sh "$top/scripts/check-safety.sh"
