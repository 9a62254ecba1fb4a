#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The discovery on one host, in one go and with nothing but a POSIX shell and
# the usual tools (mktemp, tar, tail, base64, awk): no Python on the host.
#
#   sh hba-discover.sh MODE PARENT MAX_BYTES TOOL OFFSET [WRAPPER...]
#
# MODE     run: unpack, run the tool, report; check: look only, change nothing
# PARENT   where the private temporary directory is made ("" = TMPDIR or /tmp)
# TOOL     bundled: the tool came with this script; installed: hba-discovery on PATH
# OFFSET   where the payload (a tar of component/ and maybe hba-discovery)
#          starts in this file, counted from 1 as tail -c + does
# WRAPPER  words put before the tool (nice -n 19, timeout 300, ...)
#
# Everything it says is on standard output as lines "HBA1 KEY VALUE", free
# text base64-encoded, so that a terminal Ansible may put between (ssh -tt)
# changes nothing of it: outcome WORD, status N, detail TEXT, version TEXT,
# counts UNSUPPORTED NO_VERSION, document NAME SIZE (the name encoded too), then the document as
# "HBA1 data" lines, and "HBA1 end". The temporary directory goes whatever
# happened, signals included.
mode=$1 parent=$2 max=$3 tool=$4 offset=$5
shift 5
self=$0

b64() { base64 | tr -d '\n'; }
say() { printf 'HBA1 %s\n' "$*"; }
# outcome WORD DETAIL: the end of the story for this host.
outcome() {
    say outcome "$1"
    say detail "$(printf '%s' "$2" | head -c 4000 | b64)"
    say end
    exit 0
}

if [ "$tool" = installed ]; then
    program=$(command -v hba-discovery) ||
        outcome tool-not-installed "hba-discovery is not on PATH ($PATH)"
fi

# The directory goes however the script ends: normally, or on HUP, INT,
# TERM, or PIPE (the connection gone when Ansible was interrupted: the next
# line written would end the shell without its EXIT trap).
dir=
trap '[ -z "$dir" ] || rm -rf "$dir"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM
base=${parent:-${TMPDIR:-/tmp}}
made=$(mktemp -d "$base/hba-discovery.XXXXXXXXXX" 2>&1) ||
    outcome no-temporary-directory "$base: $made"
dir=$made

if [ "$tool" = bundled ]; then
    program=$dir/hba-discovery
    # A tool copied along must run from the temporary directory.
    printf '#!/bin/sh\nexit 0\n' > "$dir/probe" && chmod 700 "$dir/probe"
    why=$("$dir/probe" 2>&1) ||
        outcome noexec "$dir: a program there cannot run ($why); set hba_remote_tmp to a directory not mounted noexec"
    rm -f "$dir/probe"
fi

if [ "$mode" = check ]; then
    # A tool to be copied along was looked at on the controller.
    [ "$tool" = bundled ] || say version "$({ "$program" --version 2>&1 || :; } | head -n 1 | b64)"
    outcome checked "$(id -un 2>/dev/null), $program, $dir"
fi

if ! err=$(tail -c +"$offset" "$self" | tar -x -f - --no-same-owner -C "$dir" 2>&1); then
    outcome tool-failed "unpacking the component in $dir: $err"
fi
say version "$({ "$program" --version 2>/dev/null || :; } | head -n 1 | b64)"
cd "$dir/component" || outcome tool-failed "cannot enter $dir/component"
# The trace says why an adapter gave no device: not supported, or no
# installed version.
HBA_DISCOVERY_DEBUG=1 "$@" "$program" > "$dir/trace" 2> "$dir/stderr"
status=$?
say status "$status"
say counts "$(awk '/is not supported\*\*\*$/ { u++ } /Current BIOS version is empty so skipping HBA/ { e++ }
    END { print u + 0, e + 0 }' "$dir/trace")"
[ "$status" -eq 0 ] || outcome tool-failed "$(cat "$dir/stderr")"
set -- ./*_disc.xml
[ -f "$1" ] || outcome no-document "$(cat "$dir/stderr")"
size=$(wc -c < "$1")
[ "$size" -le "$max" ] || outcome too-large "$size bytes, more than $max"
say document "$(printf '%s' "${1#./}" | b64)" "$size"
base64 < "$1" | sed 's/^/HBA1 data /'
outcome ok "$(cat "$dir/stderr")"
