#!/usr/bin/env bash
# Lints one scrape of GET /metrics with promtool (Debian's prometheus package): dorn serve from
# build/default with the counter fixtures, scraped once its first round of sampling has the
# sessions' protocol series.
#   scripts/check-metrics.sh [BUILD_DIR]     default build/default
set -euo pipefail
cd "$(dirname "$0")/.."
dorn="${1:-build/default}/bin/dorn"
command -v promtool >/dev/null || { echo "promtool is missing (apt-get install prometheus)"; exit 1; }

work=$(mktemp -d)
serve_pid=
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$dorn" serve --port 0 --token-file "$work/token" --metrics-interval 1 --metrics-processes 5 \
    --registry samples/sessions.reg --sessions tests/fixtures/counters/sessions.json \
    --counters tests/fixtures/counters/protocol-counters.json >"$work/out" 2>"$work/err" &
serve_pid=$!

url=
for _ in $(seq 600); do
    url=$(sed -n 's|^dorn serve: console at \(http://[^/]*\)/login.*|\1|p' "$work/out")
    [ -n "$url" ] && break
    kill -0 "$serve_pid" 2>/dev/null || { cat "$work/err"; exit 1; }
    sleep 0.1
done
[ -n "$url" ] || { echo "dorn serve did not start"; cat "$work/err"; exit 1; }

for _ in $(seq 600); do
    curl -sf -H "Authorization: Bearer $(cat "$work/token")" "$url/metrics" >"$work/scrape" || true
    grep -q '^dorn_session_round_trip_seconds{session_id="4"' "$work/scrape" && break
    sleep 0.1
done
grep -q '^dorn_session_round_trip_seconds{session_id="4"' "$work/scrape" ||
    { echo "no session series in the scrape:"; cat "$work/scrape"; exit 1; }
promtool check metrics <"$work/scrape"
echo "promtool check metrics: $(grep -vc '^#' "$work/scrape") series, no problems"
