#!/bin/sh
# Installs the Debian packages that building and testing need, only those
# that are missing. Without root it only says what is missing.
#   install-deps.sh [GROUP|PACKAGE...]   (default: the group base)
# A group is a line of scripts/packages; any other argument is a package.
set -eu
list="$(cd "$(dirname "$0")" && pwd)/packages"
packages=""
for arg in ${*:-base}; do
    group=$(sed -n "s/^$arg:[[:space:]]*//p" "$list")
    packages="$packages ${group:-$arg}"
done
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
