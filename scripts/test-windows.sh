#!/usr/bin/env bash
# The Windows build: dorn.exe, Quillmesh.dll, dorn_helpdesk.dll and the test programs,
# cross-compiled with MinGW-w64; the tests run under Wine in a throwaway prefix inside the build
# directory, which never touches the user's own. Prints CTest's summary and the reason of every
# skipped test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
jobs=$(nproc)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

export WINEPREFIX="$PWD/build/windows/wineprefix"
# The wine server and the prefix's services stay up for the whole run; they end with it.
trap 'wineserver -k 2>/dev/null || true' EXIT
# Made (the first time) and started before CTest, whose discovery and test time-outs would
# otherwise count the prefix's first boot.
cmake/wine-run.sh --prefix "$WINEPREFIX"

log=build/windows/Testing/Temporary/LastTest.log
status=0
ctest --preset windows -j "$jobs" || status=$?

# GoogleTest writes "file:line: Skipped" and the reason on the next line; CTest keeps the output
# of every test in its log.
echo
echo "Skipped under Wine, with their reasons:"
awk '/^\[ RUN      \] / { test = $4 }
     skipped { print "  " test ": " $0; skipped = 0 }
     /: Skipped$/ { skipped = 1 }' "$log" | sort -u

# dorn.exe serve and the service, asked from Linux (they restart the prefix's services), and
# the console's browser tests against dorn.exe serve.
echo
scripts/test-windows-serve.sh || status=$?
echo
scripts/test-e2e.sh windows || status=$?
exit $status
