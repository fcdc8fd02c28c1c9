#!/usr/bin/env bash
# What a Prometheus scrape of GET /metrics costs `dorn serve` on a busy remote-desktop host
# (not part of the test suite): N remote sessions with a display protocol (default 50, made by
# make-sessions.mjs from the fixtures' two), P extra processes (default 2000 `sleep`s) and the
# top 10 processes exported. Once the background sampler has finished a round with every
# session, it times S scrapes back to back (default 200) with curl, and compares the server's
# processor time during the scrapes with its rate over the same time just before (the sampler
# runs all the while). Prints one table.
#   bench/metrics/scrape.sh [--sessions N] [--processes P] [--scrapes S]
set -euo pipefail
cd "$(dirname "$0")/../.."

sessions=50
processes=2000
scrapes=200
while [ $# -gt 0 ]; do
    case $1 in
        --sessions) sessions=$2; shift 2 ;;
        --processes) processes=$2; shift 2 ;;
        --scrapes) scrapes=$2; shift 2 ;;
        *) echo "usage: $0 [--sessions N] [--processes P] [--scrapes S]" >&2; exit 2 ;;
    esac
done

# shellcheck source=../load/serve.sh
source bench/load/serve.sh
sleepers=()
cleanup() {
    [ ${#sleepers[@]} -eq 0 ] || kill "${sleepers[@]}" 2>/dev/null || true
    serve_cleanup
}
trap cleanup EXIT

serve_install
serve_build
ulimit -n "$(ulimit -Hn)"
node bench/metrics/make-sessions.mjs "$serve_work" "$sessions" 101
for _ in $(seq "$processes"); do
    sleep 100000 &
    sleepers+=($!)
done
# Only the made sessions: a counter object is taken from the first file that publishes it.
serve_files=()
serve_start --registry "$serve_work/sessions.reg" --counters "$serve_work/counters.json" \
    --sessions "$serve_work/sessions.json" --metrics-interval 15 --metrics-processes 10
origin=${url%%/login*}
token=$(cat "$serve_work/token")

scrape() {
    curl -s -o "$serve_work/scrape" -w '%{time_total}\n' -H "Authorization: Bearer $token" \
        "$origin/metrics"
}
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$server/stat")
    stat=${stat##*) }
    awk '{ print $12 + $13 }' <<<"$stat"
}

echo "Waiting for a sampling round with all $sessions sessions (about a second each)..."
round_sessions=0
for _ in $(seq 600); do
    scrape >/dev/null
    round_sessions=$(grep -c '^dorn_session_round_trip_seconds{session_id="1[0-9][0-9]"' \
        "$serve_work/scrape" || true)
    [ "$round_sessions" -ge "$sessions" ] && break
    sleep 1
done
[ "$round_sessions" -ge "$sessions" ] || { echo "no complete round in 600 s" >&2; exit 1; }

# The server's own rate, sampler included, then the same with scrapes back to back.
before_ticks=$(cpu_ticks)
before_time=$EPOCHREALTIME
sleep 10
idle_ticks=$(( $(cpu_ticks) - before_ticks ))
idle_seconds=$(awk -v a="$before_time" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')

start_ticks=$(cpu_ticks)
start_time=$EPOCHREALTIME
for _ in $(seq "$scrapes"); do scrape; done >"$serve_work/times"
busy_ticks=$(( $(cpu_ticks) - start_ticks ))
busy_seconds=$(awk -v a="$start_time" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')

hz=$(getconf CLK_TCK)
series=$(grep -vc '^#' "$serve_work/scrape")
bytes=$(wc -c <"$serve_work/scrape")
round=$(awk '/^dorn_metrics_sample_duration_seconds / { printf "%.1f", $2 }' "$serve_work/scrape")
read -r p50 p99 max < <(sort -g "$serve_work/times" | awk '{ t[NR] = $1 * 1000 }
    END { printf "%.1f %.1f %.1f\n", t[int(NR * 0.5 + 0.5)], t[int(NR * 0.99 + 0.5)], t[NR] }')
per_scrape=$(awk -v b="$busy_ticks" -v bs="$busy_seconds" -v i="$idle_ticks" -v is="$idle_seconds" \
    -v n="$scrapes" -v hz="$hz" 'BEGIN { c = (b - i * bs / is) / hz / n * 1000; if (c < 0) c = 0; printf "%.2f", c }')
sampler=$(awk -v i="$idle_ticks" -v is="$idle_seconds" -v hz="$hz" 'BEGIN { printf "%.1f", i / hz / is * 100 }')
serve_stop

echo
echo "Scrape of GET /metrics, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Machine: $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), kernel $(uname -r); load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$sessions sessions with a display protocol, $processes extra processes, --metrics-processes 10"
echo
echo "| What | Measured | Goal |"
echo "| --- | --- | --- |"
echo "| Scrape latency p50 / p99 / max ($scrapes scrapes) | $p50 / $p99 / $max ms | ≤ 100 ms |"
echo "| Processor time per scrape (beyond the server's own rate) | $per_scrape ms | |"
echo "| Exposition | $series series, $bytes bytes | |"
echo "| Background round (all sessions, one request at a time) | $round s | |"
echo "| The server between scrapes, sampler and collection thread | $sampler % of a core | |"
echo "| Stop (SIGTERM) | exit status $stop_status after $stop_seconds s | 0 within 5 s |"
