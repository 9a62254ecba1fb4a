#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs the fuzz targets for longer than CI does: 30 minutes each by default,
# keeping the working corpus in build-fuzz/corpus/ between runs.
#
#   fuzz/run-long.sh [SECONDS_EACH] [TARGET...]
#
# Inputs worth keeping as seeds: copy them from build-fuzz/corpus/<target>/
# into fuzz/corpus/<target>/ (a few small ones, after a look).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-1800}
[ $# -gt 0 ] && shift
HBA_FUZZ_KEEP_CORPUS=1 exec sh "$here/run.sh" "$seconds" "$@"
