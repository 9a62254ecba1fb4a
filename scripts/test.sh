#!/bin/sh
# The whole test suite: installs what is missing, builds, runs every test,
# then the safety checks (sanitizers, valgrind, 32-bit build, static
# analysis, fuzzing: scripts/check-safety.sh).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
# The Debian package and fleet tests (tests/package, tests/fleet); without
# root they are skipped where these are missing.
"$top/scripts/install-deps.sh" deploy ||
    [ "$(id -u)" -ne 0 ]
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=ON -DHBA_WERROR=ON >/dev/null
cmake --build "$top/build" -j"$(nproc)"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)")
sh "$top/scripts/check-safety.sh"
