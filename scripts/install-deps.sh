#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages that building and testing need, only those
# that are missing. Without root it only says what is missing.
#
#   install-deps.sh [--missing] [GROUP|PACKAGE...]   (default: the group base)
#
# The group base is the build and its tests: the build-essential packages
# and the Build-Depends of debian/control, which apt-get build-dep installs.
# Every other group is a line of scripts/packages ("GROUP: PACKAGE..."); any
# other argument is a package. --missing prints, in one line, what would be
# installed and changes nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
list=$top/scripts/packages
show_only=0
if [ "${1:-}" = --missing ]; then
    show_only=1
    shift
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

base=0
packages=""
for arg in ${*:-base}; do
    if [ "$arg" = base ]; then
        base=1
        continue
    fi
    # The group's line, matched as plain text (an argument is no pattern).
    group=$(awk -v name="$arg:" 'index($0, name) == 1 { print substr($0, length(name) + 1); exit }' "$list")
    packages="$packages ${group:-$arg}"
done

missing=""
build_deps=""
if [ "$base" -eq 1 ]; then
    installed build-essential || missing=" build-essential"
    if command -v dpkg-checkbuilddeps >/dev/null 2>&1; then
        if ! unmet=$(cd "$top" && dpkg-checkbuilddeps 2>&1); then
            build_deps=$(printf '%s\n' "$unmet" | sed -n 's/.*Unmet build dependencies: //p')
            [ -n "$build_deps" ] || { printf '%s\n' "$unmet" >&2; exit 1; }
        fi
    else
        # dpkg-checkbuilddeps comes with build-essential (dpkg-dev).
        build_deps="the Build-Depends of debian/control"
    fi
    [ -z "$build_deps" ] || missing="$missing $build_deps"
fi
others=""
for p in $packages; do
    installed "$p" || others="$others $p"
done
missing="$missing$others"

if [ "$show_only" -eq 1 ]; then
    echo "${missing# }"
    exit 0
fi
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index (an architecture or a suite);
# the others are still read, so go on: the install below fails by itself
# when a package it needs is not in any list.
apt-get update -qq || echo "install-deps.sh: apt-get update failed for some index; installing from the lists apt has" >&2
if [ "$base" -eq 1 ]; then
    installed build-essential ||
        apt-get install -y -qq --no-install-recommends build-essential >/dev/null
    [ -z "$build_deps" ] ||
        (cd "$top" && apt-get build-dep -y -qq --no-install-recommends ./ >/dev/null)
fi
if [ -n "$others" ]; then
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $others >/dev/null
fi
