#!/bin/sh
# rasterprint.exe prints the sample receipt through the real DLL under
# Wine, and rasterview.exe reads the stream back; a stop (Ctrl+C) leaves no
# temporary, and a write through a hard link that does not fit keeps the
# old contents.
#   wine_rasterprint.sh RUNNER... -- BINDIR SAMPLE
set -eu
runner=""
while [ "$1" != "--" ]; do runner="$runner $1"; shift; done
shift
bindir=$1
# shellcheck disable=SC2086
$runner --check "$bindir/rasterprint.exe" || exit $?
sample=$2
out=$bindir/wine-receipt.prn
rm -f "$out"
# shellcheck disable=SC2086
$runner "$bindir/rasterprint.exe" "$sample" -o "$out"
# shellcheck disable=SC2086
summary=$($runner "$bindir/rasterview.exe" --summary "$out" | tr -d '\r')
echo "$summary"
case "$summary" in
    *"widths: 384 dots x "*) echo "PASS: the receipt printed through the DLL and read back" ;;
    *) echo "FAIL: unexpected summary"; exit 1 ;;
esac

work=$bindir/wine-rasterprint
small=$work/small
trap 'umount -l "$small" 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$small"
fail=0
temporaries() { ls -a "$work" | grep -c '\.tmp$' || true; }

# SIGINT reaches a Windows program as Ctrl+C. The tool waits for its input,
# its temporary made.
mkfifo "$work/input"
exec 3<>"$work/input"
# shellcheck disable=SC2086
WINE_RUN_ONCE=1 $runner "$bindir/rasterprint.exe" - -o "$work/stopped.prn" <"$work/input" 2>/dev/null &
pid=$!
i=0
while [ "$(temporaries)" -eq 0 ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done
made=$(temporaries)
kill -INT $pid
wait $pid || true
exec 3>&-
if [ "$made" -eq 0 ]; then echo "FAIL: no temporary was made"; fail=1
elif [ "$(temporaries)" -ne 0 ]; then echo "FAIL: a stop left a temporary"; fail=1
else echo "PASS: a stop leaves no temporary"; fi

# 672,000 bytes to print through a hard link to 300,000 on a 512 KiB file system.
if mount -t tmpfs -o size=512k tmpfs "$small" 2>/dev/null; then
    head -c 300000 /dev/zero | tr '\0' Z >"$small/old.prn"
    ln "$small/old.prn" "$small/link.prn"
    { printf 'P4\n384 12000\n'; head -c 576000 /dev/zero | tr '\0' U; } >"$work/long.pbm"
    # shellcheck disable=SC2086
    if $runner "$bindir/rasterprint.exe" "$work/long.pbm" -o "$small/link.prn" 2>/dev/null; then
        echo "FAIL: a stream that does not fit was written"; fail=1
    elif [ "$(tr -d Z <"$small/old.prn" | wc -c)" -ne 0 ] || [ "$(wc -c <"$small/old.prn")" -ne 300000 ]; then
        echo "FAIL: the old contents are lost"; fail=1
    else echo "PASS: a write through a link that does not fit keeps the old contents"; fi
    umount -l "$small"
else
    echo "SKIP: cannot mount a 512 KiB tmpfs (it needs root)"
fi
rm -rf "$work"
exit $fail
