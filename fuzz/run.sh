#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (clang++, build-fuzz/) and runs each for a
# bounded time on its committed seed corpus (fuzz/corpus/<target>/, never
# modified) plus a working corpus in the build directory.
#
#   fuzz/run.sh [SECONDS_EACH] [TARGET...]
#
# Targets: config-reader document-writer command-fields version-compare.
# Fails when a target finds a crash, a leak, a sanitizer report, a time-out or
# a broken property; the input is kept as build-fuzz/artifacts/<target>-*.
# HBA_FUZZ_KEEP_CORPUS=1 keeps the working corpus between runs (run-long.sh).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
case $seconds in
'' | *[!0-9]* | 0) echo "usage: fuzz/run.sh [SECONDS_EACH] [TARGET...] (seconds a whole number above 0)" >&2; exit 2 ;;
esac
[ $# -gt 0 ] && shift
targets=${*:-config-reader document-writer command-fields version-compare}
build=$top/build-fuzz

cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DHBA_FUZZ=ON -DHBA_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p "$build/artifacts" "$build/logs"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in $targets; do
    [ -d "$top/fuzz/corpus/$t" ] || { echo "fuzz: no target $t" >&2; exit 2; }
    work="$build/corpus/$t"
    [ "${HBA_FUZZ_KEEP_CORPUS:-0}" = 1 ] || rm -rf "$work"
    mkdir -p "$work"
    case $t in
        # room for outputs beyond the runner's 16352-character buffer
        command-fields) max_len=20000 ;;
        *) max_len=8192 ;;
    esac
    log="$build/logs/$t.log"
    status=0
    "$build/fuzz/fuzz-$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$work" "$top/fuzz/corpus/$t" > "$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    units=$(find "$work" -type f | wc -l)
    if [ "$status" -eq 0 ]; then
        echo "fuzz $t: ${execs:-?} executions in ${seconds} s (${rate:-?}/s), corpus $units new inputs, no crash"
    else
        echo "fuzz $t: FAILED (status $status) after ${execs:-?} executions; log $log" >&2
        grep -E '^(==[0-9]+==|SUMMARY|fuzz property broken|.*runtime error)' "$log" | head -n 20 >&2 || true
        ls "$build/artifacts/$t-"* >&2 2>/dev/null || true
        failed=1
    fi
done
exit "$failed"
