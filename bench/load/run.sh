#!/usr/bin/env bash
# Load benchmark of dorn serve on loopback (not part of the test suite): builds dorn in Release
# (build/load), starts `dorn serve` on a free port with the sample registry and the protocol
# counter fixtures, runs console-load.mjs (20 consoles polling "Performance", 10 "ProtocolInfo"
# callers, 60 s; arguments are passed on, e.g. --seconds 10), prints its summary, then stops
# the server with SIGTERM and checks that it exits 0.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps.sh
if ! command -v node >/dev/null; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq nodejs >/dev/null
fi

build=build/load
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORN_BUILD_TESTS=OFF \
    -DDORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j 2 --target dorn dorn_helpdesk

work=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -KILL "$server"; fi
    rm -rf "$work"
}
trap cleanup EXIT

"$build/bin/dorn" serve --port 0 --token-file "$work/token" \
    --registry samples/sessions.reg \
    --counters tests/fixtures/counters/protocol-counters.json \
    --sessions tests/fixtures/counters/sessions.json >"$work/stdout" 2>"$work/stderr" &
server=$!

url=
for _ in $(seq 300); do
    url=$(grep -o 'console at http://[^[:space:]]*' "$work/stdout" | cut -d' ' -f3 || true)
    [ -n "$url" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$url" ]; then
    echo "dorn serve did not start:" >&2
    cat "$work/stderr" >&2
    exit 1
fi

load_status=0
node bench/load/console-load.mjs --url "$url" --pid "$server" --clock-ticks "$(getconf CLK_TCK)" \
    "$@" || load_status=$?

kill -TERM "$server"
serve_status=0
wait "$server" || serve_status=$?
server=
echo "dorn serve exit status after SIGTERM: $serve_status"
if [ "$serve_status" -ne 0 ]; then
    echo "--- dorn serve stderr ---" >&2
    tail -n 20 "$work/stderr" >&2
fi
[ "$load_status" -eq 0 ] && [ "$serve_status" -eq 0 ]
