#!/bin/sh
# Builds the Debian packages with dpkg-buildpackage from a copy of the tree
# (its tracked and untracked files, not the ignored ones) in STAGE. The
# changelog entry is written there from the project's version, so the
# packages always carry the version the plug-in and the Windows INF carry.
# The packages land in OUT, their debug symbols in OUT/debug.
#   build-deb.sh STAGE OUT [JOBS]
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
stage=$(realpath -m "$1")
out=$(realpath -m "$2")
jobs=${3:-auto}

version=$(sed -n 's/^project(oemdll VERSION \([0-9][0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "build-deb: no 'project(oemdll VERSION ...)' in CMakeLists.txt" >&2
    exit 1
fi
maintainer=$(sed -n 's/^Maintainer: //p' "$src/debian/control")
tree=$stage/oemdll

# The copy is fresh each time but for the CMake build folder (obj-*), so
# that a rebuild compiles only what changed; `make clean` removes it all.
mkdir -p "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
rm -f "$stage"/*.deb "$stage"/*.changes "$stage"/*.buildinfo
# Files deleted but not yet committed are skipped.
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$tree"

# The date is that of the sources where the Makefile knows it.
date=$(date -u -R ${SOURCE_DATE_EPOCH:+-d @$SOURCE_DATE_EPOCH})
cat >"$tree/debian/changelog" <<END
oemdll ($version) unstable; urgency=medium

  * Version $version of the project.

 -- $maintainer  $date
END

(cd "$tree" && dpkg-buildpackage -b -us -uc --no-pre-clean -J"$jobs")

rm -rf "$out"
mkdir -p "$out/debug"
for deb in "$stage"/*.deb; do
    case $deb in
        *-dbgsym_*) mv "$deb" "$out/debug/" ;;
        *) mv "$deb" "$out/" ;;
    esac
done
echo "packages: $out"
ls "$out"
