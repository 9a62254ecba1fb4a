#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the tool and runs it on the bundled example component, on a
# simulated machine (examples/machine), in a scratch copy. Prints the
# machine's PCI functions, the document, and what became of each function:
# written with its action, or why it was skipped.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build" -j"$(nproc)" >/dev/null

table=$top/examples/machine
scratch=$(mktemp -d /tmp/hba-example.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cp -r "$top/examples/component" "$scratch/component"
config=$scratch/component/KT582304.xml
"$top/tests/machine/make-machine" "$table" > "$scratch/machine.umockdev"
on_machine() {
    PATH="$top/tests/machine/bin:$PATH" umockdev-run -d "$scratch/machine.umockdev" -- "$@"
}

# The table's functions as "address identity host rom": the identity as the
# document writes it, "-" where the table has none, the ROM version's
# blanks as "_".
awk -F'|' '
function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
/^[ \t]*(#|$)/ { next }
{
    id = toupper(trim($2) "." trim($3) "." trim($4) "." trim($5))
    rom = trim($8); gsub(/[ \t]/, "_", rom)
    print trim($1), id, trim($7), rom
}' "$table" > "$scratch/functions"
# The functions that lspci names Durozaz: the tool's own listing.
on_machine sh -c "lspci | grep Durozaz | awk '{print \$1}'" > "$scratch/listed"
# The identities that the configuration supports.
groups=$(xmllint --xpath 'count(//supported_device_data)' "$config")
i=1
while [ "$i" -le "$groups" ]; do
    id=""
    for n in 0 1 2 3; do
        if [ "$n" -eq 0 ]; then
            path="(//supported_device_data)[$i]"
        else
            path="(//supported_device_data)[$i]/following-sibling::*[$n]"
        fi
        id="$id${id:+.}$(xmllint --xpath "normalize-space($path)" "$config")"
    done
    echo "$id" | tr '[:lower:]' '[:upper:]'
    i=$((i + 1))
done > "$scratch/supported"

echo "== The simulated machine (examples/machine), one PCI function a line"
no_host=""
while read -r address id host rom; do
    if [ "$host" = - ]; then
        host_text="no SCSI host"
        grep -qx "$address" "$scratch/listed" && no_host="$no_host $address"
    else
        host_text="SCSI host $host"
    fi
    if [ "$rom" = - ]; then
        rom_text="no installed boot BIOS version"
    else
        rom_text="installed boot BIOS \"$(echo "$rom" | tr _ ' ')\""
    fi
    echo "$address  $id  $host_text, $rom_text"
done < "$scratch/functions"

echo "== hba-discovery in a copy of examples/component"
if [ -n "$no_host" ]; then
    echo "(the tool probes the SCSI host attributes of every Durozaz function, also of one"
    echo " without SCSI host:$no_host; the shell's \"No such file or directory\" lines are about it)"
fi
(cd "$scratch/component" && on_machine "$top/build/hba-discovery")

documents=0
for doc in "$scratch/component"/*_disc.xml; do
    [ -e "$doc" ] || continue
    documents=$((documents + 1))
    echo "== $(basename "$doc")"
    cat "$doc"
done
if [ "$documents" -eq 0 ]; then
    echo "== no discovery document was written (standard error above says why)"
    exit 1
fi

# The document's devices in its order, as "identity action installed packaged".
count=$(xmllint --xpath 'count(//device)' "$doc")
i=1
while [ "$i" -le "$count" ]; do
    for field in device_id fw_item/action fw_item/active_version fw_item/version; do
        printf '%s ' "$(xmllint --xpath "string((//device)[$i]/$field/@value)" "$doc")"
    done
    echo
    i=$((i + 1))
done > "$scratch/devices"

# The tool writes the qualifying functions in listing order, so each one
# takes the next device of the document.
echo "== What became of each function"
exec 3< "$scratch/devices"
unexplained=0
while read -r address id host rom; do
    if ! grep -qx "$address" "$scratch/listed"; then
        fate="skipped: not a Durozaz function (lspci does not name Durozaz)"
    elif ! grep -qx "$id" "$scratch/supported"; then
        fate="skipped: not supported (KT582304.xml does not list $id)"
    elif [ "$host" = - ]; then
        fate="skipped: no SCSI host"
    elif [ "$rom" = - ]; then
        fate="skipped: no installed version"
    elif read -r doc_id action installed packaged <&3 && [ "$doc_id" = "$id" ]; then
        fate="written: $action (installed $installed, the component's $packaged)"
    else
        fate="NOT in the document as expected"
        unexplained=1
    fi
    echo "$address  $fate"
done < "$scratch/functions"
if read -r extra <&3; then
    echo "the document holds a device that no function accounts for: $extra"
    unexplained=1
fi
exec 3<&-
exit "$unexplained"
