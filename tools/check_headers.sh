#!/bin/sh
# Compiles every header under src/ alone (-fsyntax-only), so that each one
# includes what it uses. Usage: tools/check_headers.sh [python]
# Prints each failing header and exits 1.
PY=${1:-python3}
INCLUDE=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || exit 1
CXX=${CXX:-g++}
status=0
for h in $(find src -name '*.hpp' | sort); do
    if ! out=$("$CXX" -std=c++20 -fsyntax-only -I src/frame -I "$INCLUDE" -x c++ "$h" 2>&1); then
        echo "FAIL $h"
        echo "$out" | head -20
        status=1
    fi
done
[ $status -eq 0 ] && echo "check-headers: every header under src/ compiles alone"
exit $status
