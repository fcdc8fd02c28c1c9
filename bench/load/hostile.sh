#!/usr/bin/env bash
# Hostile clients against dorn serve on loopback (a benchmark, not part of the test suite):
# builds dorn in Release (build/load), raises the open-file limit as far as the hard limit
# allows, starts `dorn serve` from this shell so that it has the same limit, runs the scenarios
# of hostile.mjs one after another, stops the server with SIGTERM (timing it), and prints one
# table: per scenario the operator's latency and failures, the server's peak memory, processor
# time, threads and descriptors, and what the hostile clients saw, beside the goal.
#
#   bench/load/hostile.sh [--scenario NAME[,NAME…]] [--seconds S] [--connections N]
#                         [--stop-held] [--dorn PATH]
#
# Scenarios (default: all, in this order): slow-headers, half-body, idle, burst, keepalive,
# pollers, huge-headers. S: each scenario's length (default 15); N: the connections that
# slow-headers, half-body and idle hold (default 1000). --stop-held sends the SIGTERM while N
# slow-header connections are open instead of after the scenarios have closed theirs. --dorn
# runs another dorn build instead of building one. The exit status says whether the run
# completed, not whether the goals were met.
set -euo pipefail
cd "$(dirname "$0")/../.."

node_args=()
connections=1000
stop_held=
while [ $# -gt 0 ]; do
    case "$1" in
    --scenario | --seconds) node_args+=("$1" "$2"); shift 2 ;;
    --connections) connections=$2; node_args+=("$1" "$2"); shift 2 ;;
    --dorn) dorn=$2; shift 2 ;;
    --stop-held) stop_held=1; shift ;;
    -h | --help) sed -n '2,18p' "$0" | cut -c3-; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
done
[[ "$connections" =~ ^[1-9][0-9]*$ ]] || { echo "--connections takes a positive number" >&2; exit 2; }

. bench/load/serve.sh
trap serve_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

serve_install
results=$serve_work/results.json
node bench/load/hostile.mjs check --results "$results" --url http://127.0.0.1:1/?token=t --pid 1 \
    "${node_args[@]}"
serve_build

# The client's sockets and the server's accepted ones both count against this limit.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ]; then ulimit -n 1048576 2>/dev/null || true; else ulimit -n "$hard"; fi
limit=$(ulimit -n)
echo "Open-file limit: $limit (hard limit $hard)"
if [ "$limit" != unlimited ] && [ "$limit" -lt $((connections + 100)) ]; then
    echo "The open-file limit $limit is below $((connections + 100)): connections beyond it fail" \
        "on the client or the server, and the figures show that limit, not the server's"
fi

serve_start
revision="$(git rev-parse --abbrev-ref HEAD 2>/dev/null || echo '?') at"
revision+=" $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "dorn serve ($dorn) at ${url%%/login*}, process $server; hostile clients from now on"

load_status=0
node bench/load/hostile.mjs run --url "$url" --pid "$server" --results "$results" \
    --clock-ticks "$(getconf CLK_TCK)" "${node_args[@]}" || load_status=$?

held=0
if [ -n "$stop_held" ]; then
    node bench/load/hostile.mjs hold --url "$url" --pid "$server" --results "$results" \
        --connections "$connections" >"$serve_work/hold.out" &
    holder=$!
    for _ in $(seq 200); do
        grep -q '^held:' "$serve_work/hold.out" && break
        kill -0 "$holder" 2>/dev/null || break
        sleep 0.1
    done
    cat "$serve_work/hold.out"
    held=$(sed -n 's/^held: \([0-9]*\) of.*/\1/p' "$serve_work/hold.out")
fi
serve_stop 30
if [ -n "$stop_held" ]; then wait "$holder" || true; fi

echo
echo "Hostile clients against dorn serve, $(date -u '+%Y-%m-%d %H:%M UTC'), $revision"
if [ -s "$results" ]; then
    node bench/load/hostile.mjs report --results "$results" --stop-status "$stop_status" \
        --stop-seconds "$stop_seconds" --stop-held "${held:-0}"
fi
[ "$load_status" -eq 0 ]
