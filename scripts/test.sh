#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The whole test suite: installs what is missing, builds, runs the fast
# tier of tests (ctest -LE slow), then the slow tier (ctest -L slow), then
# the safety checks (sanitizers, valgrind, 32-bit build, static
# analysis, fuzzing: scripts/check-safety.sh).
#
# As root, where everything is installed first, a test of either tier that
# cannot run here fails (its output says what is missing) instead of being
# skipped. A step that cannot run (a group of packages that apt-get could
# not install, say from an index it could not read) does not stop the
# others: every step that can run runs, and the last line names each one
# that failed and why.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
deps=$top/scripts/install-deps.sh
groups="base fat deploy valgrind m32 lint fuzz"
failed=""
note() { failed="$failed${failed:+; }$*"; }
must_run=OFF
if [ "$(id -u)" -eq 0 ]; then
    must_run=ON
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
    # A group at a time: one that cannot be installed leaves the others.
    for group in $groups; do
        "$deps" "$group" || note "installing the packages of $group (install-deps.sh $group) failed"
    done
else
    # Without root nothing is installed: the build and its tests need their
    # packages (install-deps.sh names the missing ones); the Debian package
    # and fleet tests skip where theirs are missing; a safety check whose
    # packages are missing fails and names them.
    "$deps" base
fi
if ! cmake -S "$top" -B "$top/build" -DBUILD_TESTING=ON -DHBA_WERROR=ON -DHBA_TESTS_MUST_RUN=$must_run >/dev/null ||
    ! cmake --build "$top/build" -j"$(nproc)"; then
    note "the build failed, so no test ran"
    echo "test.sh: FAILED: $failed" >&2
    exit 1
fi
# The fast tier first (every test that proves a behaviour once), then the
# slow one (stopped, overlapping and isolated runs, the package, the fleet).
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" -LE slow || note "the fast tier (ctest -LE slow) failed"
ctest --output-on-failure -j"$(nproc)" -L slow || note "the slow tier (ctest -L slow) failed"
sh "$top/scripts/check-safety.sh" || note "a safety check failed (its summary line above names it)"
if [ -n "$failed" ]; then
    echo "test.sh: FAILED: $failed" >&2
    exit 1
fi
echo "test.sh: every step passed"
