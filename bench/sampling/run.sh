#!/usr/bin/env bash
# Process sampling side by side with top and ps on this machine (a benchmark, not part of the
# test suite). Builds dorn, the plug-in and the benchmarks in Release (build/sampling), starts
# N extra `sleep` processes, and then:
#   1. runs `dorn serve`, keeps its "Performance" collection thread alive with a request every
#      30 s, runs `top -b -d 1` beside it, and measures over the same S seconds the collection
#      thread's processor time and top's, in % of one core (/proc/PID/task/TID/stat);
#   2. runs process_bench and collector_bench with the N processes still there;
#   3. ends the extra processes and, when N > 0, repeats 1 with the machine's own processes only;
#   4. prints one table: each figure, ours, the peer's, the ratio, the goal, PASS or FAIL.
# The exit status says whether the run completed, not whether the goals were met.
#
#   bench/sampling/run.sh [--processes N] [--seconds S]      N default 2000, S default 60
set -euo pipefail
cd "$(dirname "$0")/../.."

processes=2000
seconds=60
while [ $# -gt 0 ]; do
    case "$1" in
    --processes) processes=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0" | cut -c3-; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
done
[[ "$processes" =~ ^[0-9]+$ ]] || { echo "--processes takes a number" >&2; exit 2; }
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "--seconds takes a positive number" >&2; exit 2; }

scripts/install-deps.sh
missing=()
for tool in curl:curl jq:jq top:procps ps:procps; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        $(printf '%s\n' "${missing[@]}" | sort -u) >/dev/null
fi

build=build/sampling
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORN_BUILD_TESTS=OFF \
    -DDORN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target dorn dorn_helpdesk process_bench collector_bench

ticks_per_second=$(getconf CLK_TCK)
work=$(mktemp -d)
sleepers=()
server=
top_pid=
keeper=

stop_pid() {  # a child of ours, by its id
    if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
        kill -"$2" "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    fi
}

end_sleepers() {
    if [ ${#sleepers[@]} -gt 0 ]; then
        kill -KILL "${sleepers[@]}" 2>/dev/null || true
        wait "${sleepers[@]}" 2>/dev/null || true
    fi
    sleepers=()
}

stop_side_by_side() {
    stop_pid "$keeper" TERM
    stop_pid "$top_pid" KILL
    if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
        kill -TERM "$server"
        for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
        stop_pid "$server" KILL
    fi
    keeper=
    top_pid=
    server=
}

cleanup() {
    stop_side_by_side
    end_sleepers
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

count_processes() {
    local count=0 entry
    for entry in /proc/[0-9]*; do count=$((count + 1)); done
    echo "$count"
}

# utime + stime in clock ticks of /proc/PID/stat or /proc/PID/task/TID/stat ("" when gone).
cpu_ticks() {
    local stat
    stat=$(cat "$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }  # the command name may hold spaces and parentheses
    awk '{ print $12 + $13 }' <<<"$stat"
}

uptime_seconds() { cut -d' ' -f1 /proc/uptime; }

percent_of_core() {  # ticks, seconds
    awk -v t="$1" -v s="$2" -v hz="$ticks_per_second" 'BEGIN { printf "%.2f", t / hz / s * 100 }'
}

performance_request() {
    curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $(cat "$work/token")" \
        -H 'Content-Type: application/json' -d '{}' "$1/api/Performance"
}

# Starts `dorn serve`, sets `url`.
start_server() {
    "$build/bin/dorn" serve --port 0 --token-file "$work/token" >"$work/serve.out" \
        2>"$work/serve.err" &
    server=$!
    url=
    for _ in $(seq 300); do
        url=$(grep -o 'console at http://[^/[:space:]]*' "$work/serve.out" | cut -d' ' -f3 || true)
        [ -n "$url" ] && return 0
        kill -0 "$server" 2>/dev/null || break
        sleep 0.1
    done
    echo "dorn serve did not start:" >&2
    cat "$work/serve.err" >&2
    exit 1
}

# The collection thread and top side by side for `seconds`; sets the figures
# ours_<key>, top_<key>, serve_<key>, processes_<key>, load_<key>, thread_<key>.
side_by_side() {
    local key=$1
    start_server
    ls "/proc/$server/task" >"$work/tasks.before"
    # The first request starts the collection thread (and waits for its first samples).
    local status
    status=$(performance_request "$url")
    if [ "$status" != 200 ]; then
        echo "the first Performance request was answered with $status" >&2
        exit 1
    fi
    ls "/proc/$server/task" >"$work/tasks.after"
    local started
    started=$(comm -13 <(sort "$work/tasks.before") <(sort "$work/tasks.after"))
    if [ -z "$started" ]; then
        # Not seen as new: every task but the main thread is a candidate.
        started=$(grep -vx "$server" "$work/tasks.after")
    fi
    # A console's poll, well inside the thread's lifetime (120 s by default).
    (
        nap=
        trap 'kill "$nap" 2>/dev/null; exit 0' TERM
        while :; do
            sleep 30 &
            nap=$!
            wait "$nap"
            performance_request "$url" >/dev/null || true
        done
    ) &
    keeper=$!
    top -b -d 1 >/dev/null &
    top_pid=$!
    sleep 2  # both past their start

    local tid start_ticks=() start_top start_serve start_time processes_before
    processes_before=$(count_processes)
    for tid in $started; do start_ticks+=("$(cpu_ticks "/proc/$server/task/$tid")"); done
    start_top=$(cpu_ticks "/proc/$top_pid")
    start_serve=$(cpu_ticks "/proc/$server")
    start_time=$(uptime_seconds)
    sleep "$seconds"
    local end_ticks=() end_top end_serve end_time
    for tid in $started; do end_ticks+=("$(cpu_ticks "/proc/$server/task/$tid")"); done
    end_top=$(cpu_ticks "/proc/$top_pid")
    end_serve=$(cpu_ticks "/proc/$server")
    end_time=$(uptime_seconds)
    local processes_now load_now
    processes_now=$(count_processes)
    # Other users of the machine may start or end processes meanwhile: both counts are shown.
    [ "$processes_now" = "$processes_before" ] || processes_now="$processes_before to $processes_now"
    load_now=$(cut -d' ' -f1-3 /proc/loadavg)

    # The collection thread: of the tasks the first request started, the one that used the most
    # processor time, and that lived through the whole window.
    local i best=-1 best_tid=
    local tids=($started)
    for i in "${!tids[@]}"; do
        [ -n "${start_ticks[$i]}" ] && [ -n "${end_ticks[$i]}" ] || continue
        local used=$((end_ticks[i] - start_ticks[i]))
        if [ "$used" -gt "$best" ]; then best=$used; best_tid=${tids[$i]}; fi
    done
    if [ -z "$best_tid" ] || [ -z "$end_top" ] || [ -z "$end_serve" ]; then
        echo "the collection thread, top or dorn serve ended during the window" >&2
        exit 1
    fi
    local elapsed
    elapsed=$(awk -v a="$start_time" -v b="$end_time" 'BEGIN { print b - a }')
    printf -v "ours_$key" '%s' "$(percent_of_core "$best" "$elapsed")"
    printf -v "top_$key" '%s' "$(percent_of_core $((end_top - start_top)) "$elapsed")"
    printf -v "serve_$key" '%s' "$(percent_of_core $((end_serve - start_serve)) "$elapsed")"
    printf -v "processes_$key" '%s' "$processes_now"
    printf -v "load_$key" '%s' "$load_now"
    printf -v "thread_$key" '%s' "$best_tid"
    stop_side_by_side
}

# A benchmark's figure from Google Benchmark's JSON (the median of the repetitions): real time
# in milliseconds, or the named counter.
median_of() {  # file, benchmark name, field ("ms" or a counter)
    jq -r --arg name "$2" --arg field "$3" '
        [.benchmarks[] | select(.run_name == $name and .aggregate_name == "median")][0] as $b
        | if $b == null then "" elif $field == "ms" then
              $b.real_time * ({"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[$b.time_unit])
          else ($b[$field] // "") end' "$1"
}

run_benchmarks() {
    local options=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true
                   --benchmark_format=json)
    "$build/bin/process_bench" "${options[@]}" \
        --benchmark_filter='^BM_(MachineVersusPs|Synthetic5000Records)$' >"$work/process.json"
    "$build/bin/collector_bench" "${options[@]}" \
        --benchmark_filter='^BM_RequestCopies121Samples/' >"$work/collector.json"
}

echo "Starting $processes extra sleep processes"
for _ in $(seq "$processes"); do
    sleep 3600 &  # bounded, should this script be killed beyond cleaning up
    sleepers+=($!)
done

echo "Collection thread and top side by side for $seconds s, $processes extra processes"
side_by_side extra
echo "process_bench and collector_bench, $processes extra processes"
run_benchmarks
benchmark_processes=$(count_processes)
end_sleepers
if [ "$processes" -gt 0 ]; then
    echo "Collection thread and top side by side for $seconds s, the machine's own processes"
    side_by_side own
fi

# The table.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "—"; else printf "%.2f", a / b }'; }
verdict() {  # value, limit
    awk -v v="$1" -v l="$2" 'BEGIN { if (v == "" || v == "—") print "FAIL (no figure)"; else print (v + 0 <= l + 0 ? "PASS" : "FAIL") }'
}
number() { awk -v v="$1" -v d="$2" 'BEGIN { if (v == "") print "—"; else printf "%." d "f", v }'; }
row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }

versus_ps=$(median_of "$work/process.json" BM_MachineVersusPs ours_to_ps)
ours_ms=$(median_of "$work/process.json" BM_MachineVersusPs ours_ms)
ps_ms=$(median_of "$work/process.json" BM_MachineVersusPs ps_ms)
records_ms=$(median_of "$work/process.json" BM_Synthetic5000Records ms)
request_machine_ms=$(median_of "$work/collector.json" BM_RequestCopies121Samples/0 ms)
request_synthetic_ms=$(median_of "$work/collector.json" BM_RequestCopies121Samples/1 ms)

echo
echo "Process sampling side by side, $(date -u '+%Y-%m-%d %H:%M UTC'), branch $(git rev-parse --abbrev-ref HEAD 2>/dev/null || echo '?') at $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Machine: $(nproc) processors, $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
processes_line="Processes: $processes_extra in the window with the $processes extra (during the benchmarks: $benchmark_processes)"
[ -z "${processes_own:-}" ] || processes_line+=", $processes_own in the window without them"
echo "$processes_line"
echo "Load average at the end of each window: $load_extra (extra)${load_own:+, $load_own (own)}"
echo
row "What" "Ours" "Peer" "Ratio" "Goal" "Result"
row "---" "---" "---" "---" "---" "---"
extra_ratio=$(ratio "$ours_extra" "$top_extra")
extra_goal=0.5
[ "$processes" -gt 0 ] || extra_goal=1
row "Collection thread at 1 Hz, CPU, $processes extra processes" "$ours_extra %" \
    "top -b -d 1: $top_extra %" "$extra_ratio" "≤ $extra_goal × top" "$(verdict "$extra_ratio" "$extra_goal")"
if [ -n "${ours_own:-}" ]; then
    own_ratio=$(ratio "$ours_own" "$top_own")
    row "Collection thread at 1 Hz, CPU, the machine's own processes" "$ours_own %" \
        "top -b -d 1: $top_own %" "$own_ratio" "≤ 1 × top" "$(verdict "$own_ratio" 1)"
fi
row "Snapshot + records (BM_MachineVersusPs)" "$(number "$ours_ms" 2) ms" \
    "ps -eo pid,user,pcpu,rss,comm: $(number "$ps_ms" 2) ms" "$(number "$versus_ps" 2)" \
    "≤ 0.5 × ps" "$(verdict "$versus_ps" 0.5)"
row "BM_Synthetic5000Records" "$(number "$records_ms" 2) ms" "—" "—" "≤ 10 ms" \
    "$(verdict "$records_ms" 10)"
row "\"Performance\" reply, 121 samples, this machine (BM_RequestCopies121Samples/0)" \
    "$(number "$request_machine_ms" 3) ms" "—" "—" "≤ 0.5 ms" "$(verdict "$request_machine_ms" 0.5)"
row "\"Performance\" reply, 121 samples, 2,000 synthetic (BM_RequestCopies121Samples/1)" \
    "$(number "$request_synthetic_ms" 3) ms" "—" "—" "≤ 0.5 ms" "$(verdict "$request_synthetic_ms" 0.5)"
echo
echo "Whole dorn serve process over the same windows (HTTP, perfmon and all): $serve_extra %${serve_own:+ (extra), $serve_own % (own)}; collection thread: task $thread_extra${thread_own:+, $thread_own}."
echo "Benchmark figures are medians of 3 repetitions, wall-clock."
