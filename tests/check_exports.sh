#!/bin/sh
# The module's dynamic symbol table holds exactly the two COM exports.
set -eu
module=$1
got=$(nm -D --defined-only "$module" | awk '{print $3}' | sort | tr '\n' ' ')
want="DllCanUnloadNow DllGetClassObject "
if [ "$got" = "$want" ]; then
    echo "PASS: $module exports $want"
else
    echo "FAIL: $module exports [$got], expected [$want]"
    exit 1
fi
