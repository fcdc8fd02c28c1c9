# shellcheck shell=bash
# Shared by the load benchmarks of `dorn serve` (sourced, from the source tree's root): installs
# what they use, builds dorn in Release, starts `dorn serve` on a free port with the sample
# registry and the protocol counter fixtures, and stops it with SIGTERM, timing the stop.
#
#   serve_install                 the build's packages and Node.js
#   serve_build                   build/load; sets `dorn` (unless already set)
#   serve_start [ARGS...]         sets `server` (its id) and `url` (the printed login address);
#                                 ARGS go to dorn serve after `serve_files` (default: the
#                                 sample registry and the counter fixtures)
#   serve_stop [BOUND]            SIGTERM, waits up to BOUND s (default 30), then SIGKILL; sets
#                                 `stop_status` (the exit status, "none: … killed", or "gone
#                                 before the stop …") and `stop_seconds`
#   serve_cleanup                 for the EXIT trap: kills a server still running, removes files
# `serve_work` is a directory of the run's own, removed by serve_cleanup.

# shellcheck disable=SC2034  # url, stop_status and stop_seconds are read by the sourcing script
serve_work=$(mktemp -d)
serve_files=(--registry samples/sessions.reg
             --counters tests/fixtures/counters/protocol-counters.json
             --sessions tests/fixtures/counters/sessions.json)
server=
url=
dorn=${dorn:-}

serve_install() {
    scripts/install-deps.sh
    if ! command -v node >/dev/null; then
        local sudo_cmd=()
        [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
        "${sudo_cmd[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq nodejs >/dev/null
    fi
}

serve_build() {
    [ -n "$dorn" ] && return 0
    local build=build/load
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORN_BUILD_TESTS=OFF \
        -DDORN_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j 2 --target dorn dorn_helpdesk
    dorn=$build/bin/dorn
}

# Whether the server still runs (one that has ended stays a zombie until waited for).
serve_running() {
    local stat
    stat=$(cat "/proc/$server/stat" 2>/dev/null) || return 1
    stat=${stat##*) }  # the command name may hold spaces and parentheses
    [ "${stat%% *}" != Z ]
}

serve_start() {
    "$dorn" serve --port 0 --token-file "$serve_work/token" "${serve_files[@]}" "$@" \
        >"$serve_work/stdout" 2>"$serve_work/stderr" &
    server=$!
    url=
    for _ in $(seq 300); do
        url=$(grep -o 'console at http://[^[:space:]]*' "$serve_work/stdout" | cut -d' ' -f3 || true)
        [ -n "$url" ] && return 0
        kill -0 "$server" 2>/dev/null || break
        sleep 0.1
    done
    echo "dorn serve did not start:" >&2
    cat "$serve_work/stderr" >&2
    exit 1
}

serve_stop() {
    local bound=${1:-30} started killed=
    stop_status=gone
    stop_seconds=0
    [ -n "$server" ] || return 0
    if serve_running; then
        started=$EPOCHREALTIME
        kill -TERM "$server"
        while serve_running; do
            if awk -v a="$started" -v b="$EPOCHREALTIME" -v l="$bound" 'BEGIN { exit !(b - a >= l) }'; then
                kill -KILL "$server" 2>/dev/null || true
                killed=1
                break
            fi
            sleep 0.05
        done
        stop_seconds=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
        stop_status=0
        wait "$server" || stop_status=$?
        [ -z "$killed" ] || stop_status="none: still running after $bound s, killed"
    else
        local status=0
        wait "$server" || status=$?
        stop_status="gone before the stop (exit status $status)"
    fi
    server=
    if [ "$stop_status" != 0 ]; then
        echo "--- dorn serve stderr ---" >&2
        tail -n 20 "$serve_work/stderr" >&2
    fi
}

serve_cleanup() {
    if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
        kill -KILL "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$serve_work"
}
