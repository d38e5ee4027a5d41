#!/bin/sh
# The Windows DLL exports exactly the two COM entry points, by name, and
# imports from system DLLs only.
#   check_pe.sh OBJDUMP DLL
set -eu
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t{t=0}' | sort | tr '\n' ' ')
want="DllCanUnloadNow DllGetClassObject "
status=0
if [ "$exports" = "$want" ]; then
    echo "PASS: exports $want"
else
    echo "FAIL: exports [$exports], expected [$want]"
    status=1
fi

imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u | tr '\n' ' ')
for lib in $imports; do
    case "$lib" in
        kernel32.dll|gdi32.dll|user32.dll|ole32.dll|advapi32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*.dll) ;;
        *) echo "FAIL: imports $lib, which is not a system DLL"; status=1 ;;
    esac
done
[ $status -eq 0 ] && echo "PASS: imports only system DLLs: $imports"
exit $status
