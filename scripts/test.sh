#!/bin/sh
# The whole test suite: installs what is missing, builds, runs every test.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$top/build" -j"$(nproc)"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)")
