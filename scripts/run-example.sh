#!/bin/sh
# Builds the tool and runs it on the bundled example component, on a
# simulated machine (examples/machine), in a scratch copy; prints the document.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build" -j"$(nproc)" >/dev/null

scratch=$(mktemp -d /tmp/hba-example.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cp -r "$top/examples/component" "$scratch/component"
"$top/tests/machine/make-machine" "$top/examples/machine" > "$scratch/machine.umockdev"
(
    cd "$scratch/component"
    PATH="$top/tests/machine/bin:$PATH" umockdev-run -d "$scratch/machine.umockdev" -- \
        "$top/build/hba-discovery"
)
for doc in "$scratch/component"/*_disc.xml; do
    echo "== $(basename "$doc")"
    cat "$doc"
done
