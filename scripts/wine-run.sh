#!/bin/sh
# Runs a Windows program under Wine, headless, in the given prefix, which is
# made on first use (once, however many runs start at the same time).
#   wine-run.sh PREFIX PROGRAM [ARGS...]
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || { echo "wine-run: cannot make a Wine prefix at $prefix" >&2; exit 1; }
    fi
) 9>"$prefix.lock"
exec wine "$@"
