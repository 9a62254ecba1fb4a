#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The safety checks, each in a build directory of its own; scripts/test.sh
# runs them all after the normal suite, and so does CI.
#
#   check-safety.sh [STEP...]     default: asan valgrind m32 lint fuzz
#
#   asan      AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan),
#             the whole ctest suite under it, leak detection on
#   valgrind  memcheck on every end-to-end case (build-valgrind): any error
#             or definite leak fails; a case that skips (77) counts as skipped
#   m32       the 32-bit x86 build (build-m32) and the whole suite on it,
#             natively where the kernel runs 32-bit programs, else under
#             qemu-i386 (CMAKE_CROSSCOMPILING_EMULATOR); HBA_M32_RUN=emulated
#             runs them under qemu-i386 all the same, =native never does
#   lint      clang-tidy (.clang-tidy) and cppcheck on src/ and fuzz/
#             (build-lint, configured with clang++ and the fuzz targets so
#             that they are in its compile database), warnings are errors;
#             clang-format (.clang-format) on src/, tests/ and fuzz/: any
#             change it would make is an error; ansible-lint (production
#             profile) on the fleet collection
#   fuzz      each libFuzzer target for HBA_FUZZ_SECONDS (default 60) seconds
#
# Missing packages (scripts/packages, a group a step) are installed when run
# as root (scripts/install-deps.sh). Every build treats warnings as errors.
# Every step runs even when an earlier one failed; the exit status says
# whether all passed.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
steps=${*:-asan valgrind m32 lint fuzz}
jobs=$(nproc)
deps="$top/scripts/install-deps.sh"

# The package and fleet tests run once, in the normal suite; the safety
# builds check the tool itself.
configure_and_build() {
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -DHBA_WERROR=ON -DHBA_DEPLOY_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" >/dev/null
}

step_asan() {
    "$deps" base
    configure_and_build "$top/build-asan" -DHBA_SANITIZE=ON -DBUILD_TESTING=ON
    # umockdev's preload library comes before the sanitizer runtime.
    ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest "$top/build-asan"
}

step_valgrind() {
    "$deps" base valgrind
    build="$top/build-valgrind"
    configure_and_build "$build" -DBUILD_TESTING=OFF
    logs="$build/valgrind"
    rm -rf "$logs" "$build/skipped"
    mkdir -p "$logs"
    failed=0
    runs=0
    skipped=0
    for case_dir in "$top"/tests/e2e/cases/*/; do
        name=$(basename "$case_dir")
        status=0
        HBA_TOOL_WRAPPER="valgrind --error-exitcode=99 --child-silent-after-fork=yes --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes --log-file=$logs/$name.%p.log" \
            "$top/tests/e2e/run-case" "$build/hba-discovery" "$case_dir" >/dev/null 2>"$logs/$name.out" || status=$?
        case $status in
        0) runs=$((runs + 1)) ;;
        77) skipped=$((skipped + 1)); printf '%s ' "e2e.$name" >> "$build/skipped" ;;
        *)
            runs=$((runs + 1))
            echo "valgrind: $name failed:" >&2
            cat "$logs/$name.out" >&2
            cat "$logs/$name".*.log >&2 2>/dev/null || true
            failed=1
            ;;
        esac
    done
    # A skipped case writes no valgrind log; the sums cover the cases run.
    errors=$(cat "$logs"/*.log 2>/dev/null | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
    lost=$(cat "$logs"/*.log 2>/dev/null | sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' | tr -d , | awk '{ n += $1 } END { print n + 0 }')
    echo "valgrind: $runs end-to-end runs, $skipped skipped, $errors errors, $lost bytes definitely lost"
    [ "$failed" -eq 0 ] && [ "$errors" -eq 0 ] && [ "$lost" -eq 0 ]
}

# libxml2 for i386, and the libraries it runs with, are unpacked from
# Debian's packages into DIR rather than installed. Installed beside the
# host's 64-bit libraries, each (liblzma5, zlib1g, ...) must be of the very
# version of its 64-bit twin, which a mirror whose i386 and amd64 lists
# differ (caught mid-sync) cannot give: apt-get then says "held broken
# packages". The C and C++ libraries are the multilib compiler's.
unpack_i386_libxml2() {
    dir=$1
    # Those of checkouts that are gone (each CI run's fresh clone made one,
    # 53 MB) go first; each names its checkout in its .debs/checkout.
    for old in "${dir%.*}".*.debs; do
        [ -d "$old" ] || continue
        if [ ! -f "$old/checkout" ] || [ ! -d "$(cat "$old/checkout")" ]; then
            rm -rf "${old%.debs}" "$old"
        fi
    done
    rm -rf "$dir" "$dir.debs"
    mkdir -m 0755 "$dir" "$dir.debs" || return 1
    printf '%s\n' "$top" > "$dir.debs/checkout"
    runtime=$(apt-cache depends libxml2-dev:i386 | sed -n 's/^ *Depends: \(libxml2[^:<]*\):i386$/\1/p' | head -n 1)
    [ -n "$runtime" ] || { echo "m32: apt knows no libxml2-dev:i386 (apt-get update after dpkg --add-architecture i386)" >&2; return 1; }
    libs=$(apt-cache depends "$runtime:i386" | sed -n 's/^ *Depends: \([^:<]*\):i386$/\1:i386/p' | grep -v -x libc6:i386)
    # shellcheck disable=SC2086
    (cd "$dir.debs" && apt-get download -qq -o APT::Sandbox::User=root libxml2-dev:i386 "$runtime:i386" $libs) ||
        { echo "m32: apt-get download of libxml2-dev:i386 $runtime:i386 $libs failed" >&2; return 1; }
    for deb in "$dir.debs"/*.deb; do
        dpkg-deb -x "$deb" "$dir"
    done
}

step_m32() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "m32: the i386 architecture is not enabled (dpkg --add-architecture i386, as root)" >&2
            return 1
        fi
        dpkg --add-architecture i386
        apt-get update -qq || echo "m32: apt-get update failed for some index; going on with the lists apt has" >&2
    fi
    "$deps" base m32
    build="$top/build-m32"
    rm -f "$build/run-mode"
    # Outside the tree: the cases that run the tool as nobody run a copy of
    # it, whose libraries must be reachable by nobody from a private tree
    # (root's home) too. One directory a user and checkout, made anew
    # (mkdir fails on one that someone else made first).
    i386_root=/var/tmp/hba-i386-root.$(id -u).$(printf '%s' "$top" | cksum | cut -d' ' -f1)
    unpack_i386_libxml2 "$i386_root" || return 1
    cmake -S "$top" -B "$build" -DHBA_WERROR=ON -DHBA_DEPLOY_TESTS=OFF -DBUILD_TESTING=ON \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i386-linux-gnu.cmake" -DHBA_I386_ROOT="$i386_root" >/dev/null
    cmake --build "$build" -j"$jobs" --target hba-discovery >/dev/null
    # ELF class 1: a 32-bit program.
    class=$(od -An -tx1 -j4 -N1 "$build/hba-discovery" | tr -d ' ')
    [ "$class" = 01 ] || { echo "m32: build-m32/hba-discovery is not a 32-bit program" >&2; return 1; }
    # Natively where the kernel runs 32-bit programs; where it does not
    # (Exec format error), or when HBA_M32_RUN=emulated asks for it, every
    # test runs the 32-bit programs under qemu-i386 (Debian qemu-user).
    mode=${HBA_M32_RUN:-auto}
    case $mode in
    auto)
        if "$build/hba-discovery" --version >/dev/null 2>&1; then
            mode=native
        else
            mode=emulated
            echo "m32: the kernel does not run the 32-bit tool; its tests run under qemu-i386"
        fi
        ;;
    native | emulated) ;;
    *) echo "m32: HBA_M32_RUN is auto, native or emulated, not $mode" >&2; return 1 ;;
    esac
    emulator=""
    if [ "$mode" = emulated ]; then
        emulator=$(command -v qemu-i386) ||
            { echo "m32: qemu-i386 is missing (apt-get install qemu-user)" >&2; return 1; }
        "$emulator" "$build/hba-discovery" --version >/dev/null ||
            { echo "m32: qemu-i386 cannot run build-m32/hba-discovery" >&2; return 1; }
    fi
    cmake -S "$top" -B "$build" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" >/dev/null
    cmake --build "$build" -j"$jobs" >/dev/null
    echo "${emulator:+under }${emulator:-natively}" > "$build/run-mode"
    echo "m32: the 32-bit build's tests run ${emulator:+under }${emulator:-natively}"
    run_ctest "$build"
}

step_lint() {
    # The fuzz targets need clang++ and HBA_FUZZ to be configured; only the
    # compile database is used, nothing is built.
    "$deps" base lint fuzz
    build="$top/build-lint"
    cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DHBA_FUZZ=ON -DHBA_WERROR=ON \
        -DBUILD_TESTING=OFF >/dev/null
    # clang-tidy counts the warnings it left out (system headers, checks not
    # enabled) on standard error; shown only when it fails.
    (cd "$top" && clang-tidy -p build-lint --quiet src/*.cpp fuzz/*.cpp 2>"$build/clang-tidy.err") || {
        cat "$build/clang-tidy.err" >&2
        return 1
    }
    # useStlAlgorithm is a style preference (loops with early return over
    # element tables), not a defect. The version comes from the build
    # (cppcheck 2.17 stops at the unknown macro); normalCheckLevelMaxBranches
    # only says that cppcheck 2.17 limits its own analysis.
    cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
        --error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem \
        --suppress=useStlAlgorithm --suppress=normalCheckLevelMaxBranches \
        -DHBA_DISCOVERY_VERSION='"lint"' \
        -I "$top/src" -I "$top/fuzz" --quiet "$top/src" "$top/fuzz"
    (cd "$top" && clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h fuzz/*.cpp fuzz/*.h)
    echo "lint: clang-tidy and cppcheck found nothing in src/ and fuzz/; src/, tests/ and fuzz/ are formatted"
    lint_ansible
}

# The fleet collection (its playbook, role, action and galaxy.yml):
# ansible-lint's production profile, with the collection on the path so that
# its own names resolve.
lint_ansible() {
    (cd "$top/deploy/ansible_collections/durozaz/hba_discovery" &&
        ANSIBLE_COLLECTIONS_PATH="$top/deploy" ansible-lint -q --nocolor --profile production \
            -c "$top/.ansible-lint" galaxy.yml meta playbooks roles plugins)
    echo "lint: ansible-lint's production profile passes on the collection durozaz.hba_discovery"
}

step_fuzz() {
    "$deps" base fuzz
    sh "$top/fuzz/run.sh" "${HBA_FUZZ_SECONDS:-60}"
}

# ctest in a build directory; the names of the tests it skipped (a test that
# cannot run in that build, such as a one-process limit under the sanitizer
# runtime) go to its file "skipped", for the summary line.
run_ctest() {
    status=0
    (cd "$1" && ctest --output-on-failure -j"$jobs") > "$1/ctest.log" 2>&1 || status=$?
    cat "$1/ctest.log"
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$1/ctest.log" | tr '\n' ' ' > "$1/skipped"
    return "$status"
}

# Each step runs in a shell of its own, where set -e holds (it would not
# inside the condition of the loop's "if").
if [ "${1:-}" = --run-step ]; then
    "step_$2"
    exit 0
fi

passed=0
failed=0
results=""
for step in $steps; do
    case $step in
    asan | valgrind | m32 | lint | fuzz) ;;
    *) echo "check-safety: unknown step $step" >&2; exit 2 ;;
    esac
    echo "== safety check: $step"
    start=$(date +%s)
    # The m32 step's line says how its tests ran: natively or under qemu-i386.
    step_status=0
    rm -f "$top/build-$step/skipped"
    sh "$0" --run-step "$step" || step_status=$?
    how=""
    [ "$step" = m32 ] && how="$(cat "$top/build-m32/run-mode" 2>/dev/null || echo "run mode unknown"), "
    # Every test a step skipped is named in its entry.
    skipped=$(cat "$top/build-$step/skipped" 2>/dev/null || true)
    [ -z "$skipped" ] || how="${how}skipped: ${skipped% }, "
    if [ "$step_status" -eq 0 ]; then
        passed=$((passed + 1))
        results="$results $step:passed($how$(($(date +%s) - start))s)"
    else
        failed=$((failed + 1))
        results="$results $step:FAILED($how$(($(date +%s) - start))s)"
    fi
done
echo "== safety checks:$results"
echo "safety: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
