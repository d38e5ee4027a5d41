#!/bin/sh
# rasterview.exe under Wine on a stream too tall for 32-bit dot indexes
# (8,388,608 blank rows of 384 dots: 3.2e9 dots, 64 MiB), and on a
# malformed one.
#   wine_rasterview.sh RUNNER... -- BINDIR
set -eu
runner=""
while [ "$1" != "--" ]; do runner="$runner $1"; shift; done
shift
bindir=$1
# shellcheck disable=SC2086
$runner --check "$bindir/rasterview.exe" || exit $?
work=$bindir/wine-rasterview
rm -rf "$work"
mkdir -p "$work"
# One blank command, doubled 23 times.
printf '\033.\001\000\000\001\000\000' > "$work/tall.prn"
i=0
while [ $i -lt 23 ]; do
    cat "$work/tall.prn" "$work/tall.prn" > "$work/twice.prn"
    mv "$work/twice.prn" "$work/tall.prn"
    i=$((i + 1))
done
fail=0
# shellcheck disable=SC2086
summary=$($runner "$bindir/rasterview.exe" --summary "$work/tall.prn" -o "$work/tall.png" | tr -d '\r')
case "$summary" in
    *"rows: 8388608"*) echo "PASS: 8388608 rows counted" ;;
    *) echo "FAIL: unexpected summary: $summary"; fail=1 ;;
esac
# The PNG's header: 384 wide, 8388608 (0x00800000) tall.
header=$(od -A n -t x1 -j 16 -N 8 "$work/tall.png" | tr -d ' \n')
if [ "$header" = "0000018000800000" ]; then echo "PASS: the picture is 384 x 8388608"; else echo "FAIL: PNG header $header"; fail=1; fi

printf '\033.\001\000\000\001\010\000\125\033.\002' > "$work/bad.prn"
# shellcheck disable=SC2086
if message=$($runner "$bindir/rasterview.exe" --summary "$work/bad.prn" 2>&1 >/dev/null); then
    echo "FAIL: a malformed stream passed"; fail=1
else
    case "$message" in
        *"malformed command at byte 9 (command 2): truncated header, 3 of 8 bytes"*) echo "PASS: the malformed stream is named" ;;
        *) echo "FAIL: unexpected message: $message"; fail=1 ;;
    esac
fi
rm -rf "$work"
exit $fail
