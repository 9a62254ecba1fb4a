#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package as buildds do, on the releases a maintainer
# targets: in a clean chroot of each release made with mmdebstrap
# (--variant=buildd) from the Debian archive, the Build-Depends installed with
# "apt-get build-dep ./", then "dpkg-buildpackage -us -uc" as an ordinary
# user (nobody), its fast tier of tests included, then lintian --pedantic -I
# on what was built (only the tags tests/package/lintian-allowed names may
# show). Needs root (the chroot) and the Debian archive.
#
#   check-distros.sh [RELEASE...]    default: trixie sid
#
# HBA_DISTRO_MIRROR names the archive (default http://deb.debian.org/debian).
# Each chroot is made anew under /var/tmp and removed at the end. One line a
# release says how it went, how long it took and which of the allowed
# lintian tags showed; the exit status says whether all passed.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
releases=${*:-trixie sid}
mirror=${HBA_DISTRO_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "check-distros: needs root (mmdebstrap and chroot)" >&2; exit 1; }
"$top/scripts/install-deps.sh" distros

work=$(mktemp -d /var/tmp/hba-distros.XXXXXX)
# apt's downloads run as the user _apt, who must reach the chroots.
chmod 755 "$work"
# The chroot's own file systems, unmounted before it is removed; the removal
# never leaves the file system of /var/tmp, whatever is still mounted.
unmount_all() {
    for m in $(awk -v w="$work/" 'index($2, w) == 1 { print $2 }' /proc/mounts | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
}
cleanup() {
    unmount_all
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# The tree as git tracks it, with the changes not yet committed.
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -cf "$work/source.tar" --no-recursion --)

step() {
    release=$1 root=$2 log=$3
    echo "== $release: mmdebstrap" >> "$log"
    # An archive's unstable suite may be served with a Release file past its
    # Valid-Until date (a mirror behind); the packages are still signed.
    mmdebstrap --variant=buildd --include=lintian,ca-certificates \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        "$release" "$root" "$mirror" >> "$log" 2>&1 || return 1
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    mount -t tmpfs tmpfs "$root/dev/shm"
    mkdir "$root/build" "$root/build/hba-discovery"
    tar -xf "$work/source.tar" -C "$root/build/hba-discovery"
    chown -R 65534:65534 "$root/build"
    echo "== $release: apt-get build-dep ./" >> "$log"
    # mmdebstrap leaves no package lists behind.
    chroot "$root" sh -c 'apt-get update -q && cd /build/hba-discovery &&
        DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q ./' \
        >> "$log" 2>&1 || return 1
    chroot "$root" dpkg-query -W libxml2-dev gcc cmake groff-base libgtest-dev debhelper lintian >> "$log" 2>&1
    echo "== $release: dpkg-buildpackage -us -uc as nobody" >> "$log"
    # A buildd's clean environment: nothing of the caller's (SHELL, TERM,
    # locale) reaches the build and its tests.
    chroot "$root" setpriv --reuid=65534 --regid=65534 --clear-groups \
        env -i HOME=/tmp PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        sh -c 'cd /build/hba-discovery && dpkg-buildpackage -us -uc' >> "$log" 2>&1 || return 1
    echo "== $release: lintian --pedantic -I" >> "$log"
    chroot "$root" setpriv --reuid=65534 --regid=65534 --clear-groups \
        env HOME=/tmp sh -c 'lintian --pedantic -I --tag-display-limit 0 /build/hba-discovery_*.changes' \
        > "$root.lintian" 2>&1 || true
    cat "$root.lintian" >> "$log"
    # The tags shown, for the summary line.
    sed -nE 's/^([EWIPXO]): [^:]+: ([^ ]+).*/\1: \2/p' "$root.lintian" | sort -u |
        paste -s -d, - > "$root.tags"
    unexpected=$("$top/tests/package/lintian-unexpected" "$root.lintian")
    [ -z "$unexpected" ] || { echo "lintian: tags tests/package/lintian-allowed does not name: $unexpected" >> "$log"; return 1; }
}

results=""
failed=0
for release in $releases; do
    start=$(date +%s)
    log="$work/$release.log"
    if (step "$release" "$work/$release" "$log"); then
        tags=$(cat "$work/$release.tags")
        results="$results $release:passed($(($(date +%s) - start))s, lintian: ${tags:-no tag})"
    else
        failed=$((failed + 1))
        results="$results $release:FAILED($(($(date +%s) - start))s)"
        echo "check-distros: $release failed; the end of its log:" >&2
        tail -n 60 "$log" >&2
        # The verbose test run prefixes each test's lines with its number:
        # the output of each failed test, which the end of the log lacks.
        for n in $(sed -n '/The following tests FAILED:/,$ s/^[[:space:]]*\([0-9][0-9]*\) - .*/\1/p' "$log"); do
            echo "check-distros: $release: the output of failed test $n:" >&2
            grep "^$n: " "$log" | tail -n 40 >&2
        done
    fi
    unmount_all
    rm -rf --one-file-system "${work:?}/$release"
done
echo "== distros:$results"
[ "$failed" -eq 0 ]
