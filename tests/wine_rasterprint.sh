#!/bin/sh
# rasterprint.exe prints the sample receipt through the real DLL under
# Wine, and rasterview.exe reads the stream back.
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
