#!/bin/sh
# Checks the patch series against the pristine tarball: every patch carries
# its DEP-3 header and applies on its own, without fuzz, to the pristine
# tree, and the series applies in order.
#   check-patches.sh TARBALL PATCHES
set -eu
tarball=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
patches=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

mkdir "$work/pristine"
tar -xzf "$tarball" -C "$work/pristine" --strip-components=1

failed=0
series=$(grep -v '^#' "$patches/series" | sed '/^$/d')
for p in $series; do
    for field in Description Author Origin Forwarded Last-Update; do
        if ! sed '/^---$/q' "$patches/$p" | grep -q "^$field: ."; then
            echo "FAIL: $p has no $field: field"
            failed=1
        fi
    done
    if ! out=$(cd "$work/pristine" && patch -p1 --dry-run --batch --forward --fuzz=0 <"$patches/$p" 2>&1); then
        echo "FAIL: $p does not apply on its own to the pristine tree:"
        echo "$out" | sed 's/^/    /'
        failed=1
    fi
done

# Every file in the folder is in the series, and the other way round.
for f in "$patches"/*.patch; do
    name=$(basename "$f")
    echo "$series" | grep -qx "$name" || { echo "FAIL: $name is not in the series"; failed=1; }
done

cp -R "$work/pristine" "$work/series"
for p in $series; do
    if ! out=$(cd "$work/series" && patch -p1 --batch --forward --fuzz=0 <"$patches/$p" 2>&1); then
        echo "FAIL: $p does not apply after the patches before it:"
        echo "$out" | sed 's/^/    /'
        failed=1
    fi
done

if [ "$failed" = 0 ]; then
    echo "$(echo "$series" | wc -l) patches: each applies alone, the series in order"
fi
exit "$failed"
