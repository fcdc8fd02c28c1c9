#!/usr/bin/env bash
# The console's browser tests: headless Chromium against `dorn serve` on loopback. Installs
# what they need where it is missing (Chromium, Node.js and npm from Debian; playwright-core
# from the lock file), builds dorn and the plug-in in build/default, runs the tests.
#   DORN_SCREENSHOTS=1 scripts/test-e2e.sh    also writes docs/console/*.png
#   scripts/test-e2e.sh windows               against dorn.exe serve under Wine instead, in the
#                                             Windows build's prefix (scripts/test-windows.sh
#                                             builds it)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

missing=()
[ -x /usr/bin/chromium ] || missing+=(chromium)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

(cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)

if [ "${1:-}" = windows ]; then
    export WINEPREFIX="$PWD/build/windows/wineprefix"
    cmake/wine-run.sh --prefix "$WINEPREFIX"
    export DORN_EXE="$PWD/build/windows/bin/dorn.exe" DORN_UNDER_WINE=1
    cd tests/e2e
    DORN_BIN="$PWD/../../scripts/wine-dorn.sh" node --test console.test.mjs
    exit
fi

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target dorn dorn_helpdesk

cd tests/e2e
DORN_BIN="$PWD/../../build/default/bin/dorn" node --test console.test.mjs
