#!/bin/sh
# Applies the patches named in PATCHES/series, in order, to the current folder.
#   apply-patches.sh PATCHES
set -eu
grep -v '^#' "$1/series" | while read -r p; do
    [ -n "$p" ] || continue
    echo "applying $p"
    patch -p1 --forward --batch --fuzz=0 <"$1/$p"
done
