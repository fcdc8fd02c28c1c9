#!/usr/bin/env bash
# Process sampling side by side with top and ps on this machine (a benchmark, not part of the
# test suite). Builds dorn, the plug-in and the benchmarks in Release (build/sampling), starts
# N extra `sleep` processes, and then:
#   1. runs `dorn serve`, keeps its "Performance" collection thread alive with a request every
#      30 s, runs `top -b -d 1` beside it, and measures over the same S seconds the collection
#      thread's processor time and top's, in % of one core (utime + stime of
#      /proc/PID/task/TID/stat; the thread is the one of the tasks the first request started
#      that used the most);
#   2. runs process_bench and collector_bench with the N processes still there;
#   3. ends the extra processes and, when N > 0, repeats 1 with the machine's own processes only;
#   4. prints one table: each figure, ours, the peer's, the ratio, the goal, PASS or FAIL.
# The exit status says whether the run completed, not whether the goals were met. The machine's
# other work shows in the figures: the load average is printed with them.
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
    -h | --help) sed -n '2,16p' "$0" | cut -c3-; exit 0 ;;
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
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=build/sampling
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORN_BUILD_TESTS=OFF \
    -DDORN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target dorn dorn_helpdesk process_bench collector_bench

ticks_per_second=$(getconf CLK_TCK)
declare -A figure  # a window's figures by "<window>.<name>"
work=$(mktemp -d)
sleepers=()
server=
top_pid=
keeper=
nap=

# Whether a child of ours still runs (one that has ended stays a zombie until waited for).
running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

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
        for _ in $(seq 100); do running "$server" || break; sleep 0.1; done
        stop_pid "$server" KILL
    fi
    keeper=
    top_pid=
    server=
}

# A wait that a signal ends at once (bash runs a trap only once its foreground command is done).
pause() {
    sleep "$1" &
    nap=$!
    wait "$nap"
    nap=
}

cleanup() {
    stop_pid "$nap" KILL
    stop_side_by_side
    end_sleepers
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

count_processes() {
    local entries=(/proc/[0-9]*)
    echo "${#entries[@]}"
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

# The collection thread and top side by side for `seconds`; sets the window's figures: ours, top,
# serve (the whole process), processes, load, ticks.
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
    local started=()
    mapfile -t started < <(comm -13 <(sort "$work/tasks.before") <(sort "$work/tasks.after"))
    if [ ${#started[@]} -eq 0 ]; then
        # Not seen as new: every task but the main thread is a candidate.
        mapfile -t started < <(grep -vx "$server" "$work/tasks.after")
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
    pause 2  # both past their start

    local tid start_ticks=() start_top start_serve start_time processes_before
    processes_before=$(count_processes)
    for tid in "${started[@]}"; do start_ticks+=("$(cpu_ticks "/proc/$server/task/$tid")"); done
    start_top=$(cpu_ticks "/proc/$top_pid")
    start_serve=$(cpu_ticks "/proc/$server")
    start_time=$(uptime_seconds)
    pause "$seconds"
    local end_ticks=() end_top end_serve end_time
    for tid in "${started[@]}"; do end_ticks+=("$(cpu_ticks "/proc/$server/task/$tid")"); done
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
    local i used best=-1 best_tid=
    for i in "${!started[@]}"; do
        if [ -z "${start_ticks[$i]}" ] || [ -z "${end_ticks[$i]}" ]; then continue; fi
        used=$((end_ticks[i] - start_ticks[i]))
        if [ "$used" -gt "$best" ]; then best=$used; best_tid=${started[$i]}; fi
    done
    if [ -z "$best_tid" ] || [ -z "$end_top" ] || [ -z "$end_serve" ]; then
        echo "the collection thread, top or dorn serve ended during the window" >&2
        exit 1
    fi
    local elapsed
    elapsed=$(awk -v a="$start_time" -v b="$end_time" 'BEGIN { print b - a }')
    figure[$key.ours]=$(percent_of_core "$best" "$elapsed")
    figure[$key.top]=$(percent_of_core $((end_top - start_top)) "$elapsed")
    figure[$key.serve]=$(percent_of_core $((end_serve - start_serve)) "$elapsed")
    figure[$key.processes]=$processes_now
    figure[$key.load]=$load_now
    figure[$key.ticks]="task $best_tid $best, top $((end_top - start_top)) in $elapsed s"
    figure[$key.ticks]+=" (a tick: $(percent_of_core 1 "$elapsed") %)"
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

# The windows: "extra" with the N processes, "own" with the machine's own only.
declare -A label goal
windows=(extra)
label[extra]="$processes extra processes"
goal[extra]=0.5
if [ "$processes" -gt 0 ]; then
    windows+=(own)
    label[own]="the machine's own processes"
    goal[own]=1
else
    label[extra]="the machine's own processes"
    goal[extra]=1
fi

echo "Collection thread and top side by side for $seconds s, ${label[extra]}"
side_by_side extra
echo "process_bench and collector_bench, ${label[extra]}"
run_benchmarks
benchmark_processes=$(count_processes)
end_sleepers
if [ "$processes" -gt 0 ]; then
    echo "Collection thread and top side by side for $seconds s, ${label[own]}"
    side_by_side own
fi

# The table.
ratio() {
    awk -v a="$1" -v b="$2" \
        'BEGIN { if (a == "" || b == "" || b == 0) print "—"; else printf "%.2f", a / b }'
}
verdict() {  # value, limit
    awk -v v="$1" -v l="$2" \
        'BEGIN { if (v == "" || v == "—") print "no figure"; else print (v + 0 <= l + 0 ? "PASS" : "FAIL") }'
}
number() { awk -v v="$1" -v d="$2" 'BEGIN { if (v == "") print "—"; else printf "%." d "f", v }'; }
row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }
each_window() {  # name, separator: "<window>: <name>" for every window
    local window text=
    for window in "${windows[@]}"; do
        text+="${text:+$2}${label[$window]}: ${figure[$window.$1]}"
    done
    echo "$text"
}

versus_ps=$(median_of "$work/process.json" BM_MachineVersusPs ours_to_ps)
ours_ms=$(median_of "$work/process.json" BM_MachineVersusPs ours_ms)
ps_ms=$(median_of "$work/process.json" BM_MachineVersusPs ps_ms)
records_ms=$(median_of "$work/process.json" BM_Synthetic5000Records ms)
request_machine_ms=$(median_of "$work/collector.json" BM_RequestCopies121Samples/0 ms)
request_synthetic_ms=$(median_of "$work/collector.json" BM_RequestCopies121Samples/1 ms)
revision="$(git rev-parse --abbrev-ref HEAD 2>/dev/null || echo '?') at"
revision+=" $(git rev-parse --short HEAD 2>/dev/null || echo '?')"

echo
echo "Process sampling side by side, $(date -u '+%Y-%m-%d %H:%M UTC'), $revision"
echo "Machine: $(nproc) processors, $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- |
    sed 's/^ *//'), kernel $(uname -r)"
echo "Processes at the start and end of each window: $(each_window processes '; ')" \
    "(during the benchmarks: $benchmark_processes)"
echo "Load average at the end of each window: $(each_window load '; ')"
echo
row "What" "Ours" "Peer" "Ratio" "Goal" "Result"
row "---" "---" "---" "---" "---" "---"
for window in "${windows[@]}"; do
    window_ratio=$(ratio "${figure[$window.ours]}" "${figure[$window.top]}")
    row "Collection thread at 1 Hz, CPU, ${label[$window]}" "${figure[$window.ours]} %" \
        "top -b -d 1: ${figure[$window.top]} %" "$window_ratio" "≤ ${goal[$window]} × top" \
        "$(verdict "$window_ratio" "${goal[$window]}")"
done
row "Snapshot + records (BM_MachineVersusPs)" "$(number "$ours_ms" 2) ms" \
    "ps -eo pid,user,pcpu,rss,comm: $(number "$ps_ms" 2) ms" "$(number "$versus_ps" 2)" \
    "≤ 0.5 × ps" "$(verdict "$versus_ps" 0.5)"
row "BM_Synthetic5000Records" "$(number "$records_ms" 2) ms" "—" "—" "≤ 10 ms" \
    "$(verdict "$records_ms" 10)"
row "\"Performance\" reply, 121 samples, this machine (BM_RequestCopies121Samples/0)" \
    "$(number "$request_machine_ms" 3) ms" "—" "—" "≤ 0.5 ms" \
    "$(verdict "$request_machine_ms" 0.5)"
row "\"Performance\" reply, 121 samples, 2,000 synthetic (BM_RequestCopies121Samples/1)" \
    "$(number "$request_synthetic_ms" 3) ms" "—" "—" "≤ 0.5 ms" \
    "$(verdict "$request_synthetic_ms" 0.5)"
echo
echo "Collection thread and top, utime + stime in ticks of 1/$ticks_per_second s:" \
    "$(each_window ticks '; ')."
echo "The whole dorn serve process in the same windows (HTTP, perfmon and all), % of one core:" \
    "$(each_window serve '; ')."
echo "Benchmark figures: medians of 3 repetitions, wall-clock, run with ${label[extra]}."
echo "No figure: a benchmark that did not report it, or a window too short for top to use a tick;"
echo "with few ticks in a window a longer --seconds sharpens its ratio."
