#!/usr/bin/env bash
# Load benchmark of dorn serve on loopback (not part of the test suite): builds dorn in Release
# (build/load), starts `dorn serve` on a free port with the sample registry and the protocol
# counter fixtures, runs console-load.mjs (20 consoles polling "Performance", 10 "ProtocolInfo"
# callers, 60 s; arguments are passed on, e.g. --seconds 10), prints its summary, then stops
# the server with SIGTERM and checks that it exits 0.
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/load/serve.sh
trap serve_cleanup EXIT

serve_install
serve_build
serve_start

load_status=0
node bench/load/console-load.mjs --url "$url" --pid "$server" --clock-ticks "$(getconf CLK_TCK)" \
    "$@" || load_status=$?

serve_stop 30
echo "dorn serve exit status after SIGTERM: $stop_status ($stop_seconds s)"
[ "$load_status" -eq 0 ] && [ "$stop_status" = 0 ]
