#!/bin/sh
# Runs a Windows program under Wine, headless, in the given prefix, which is
# made on first use (once, however many runs start at the same time).
#   wine-run.sh PREFIX PROGRAM [ARGS...]
#   wine-run.sh PREFIX --check PROGRAM    only says whether PROGRAM can run
# A 32-bit program needs a kernel that runs 32-bit code: where it does not
# (some virtual machines and sandboxes refuse it), this exits 77, which the
# test suites take for "skipped", and says why.
# When Wine's own plumbing fails (its server dies, a client loses the
# connection to it), the program is run once more, and this says so; a
# second such failure stands. That needs its output held until it ends, and
# its input untouched: WINE_RUN_ONCE=1 runs it once, as it is, for a
# program that reads standard input or must get the caller's signals.
set -eu
prefix=$1
shift
check=0
if [ "$1" = "--check" ]; then check=1; shift; fi
program=$1

# The PE machine field: 014c is x86, 8664 is x64.
machine() {
    pe=$(od -A n -t u4 -j 60 -N 4 "$1" | tr -d ' ')
    od -A n -t x2 -j $((pe + 4)) -N 2 "$1" | tr -d ' '
}

libdir=/usr/lib/wine
if [ "$(machine "$program")" = "014c" ]; then
    status=0
    "$libdir/wine" --version >/dev/null 2>&1 || status=$?
    if [ "$status" -eq 126 ]; then
        echo "wine-run: skipped: this machine cannot run 32-bit programs (exec format error), so not $(basename "$program")" >&2
        exit 77
    fi
    loader=$libdir/wine
else
    loader=$libdir/wine64
fi
[ "$check" -eq 1 ] && exit 0

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        # The 64-bit loader makes the prefix wherever 32-bit code cannot run.
        "$libdir/wine64" wineboot -i >/dev/null 2>&1 || { echo "wine-run: cannot make a Wine prefix at $prefix" >&2; exit 1; }
    fi
) 9>"$prefix.lock"
[ "${WINE_RUN_ONCE:-0}" = 1 ] && exec "$loader" "$@"

held=$(mktemp -d)
trap 'rm -rf "$held"' EXIT
plumbing='wine client error|Connection reset by peer|wineserver.*(died|crashed|not running)'
attempt=1
while :; do
    status=0
    "$loader" "$@" >"$held/out" 2>"$held/err" || status=$?
    failure=$(grep -E -m 1 "$plumbing" "$held/err" || true)
    [ -z "$failure" ] || [ $attempt -eq 2 ] && break
    echo "wine-run: Wine's own plumbing failed ($failure; exit $status): running $(basename "$program") once more" >&2
    attempt=2
done
cat "$held/out"
cat "$held/err" >&2
exit $status
