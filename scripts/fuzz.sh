#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer+UBSan) and runs every fuzzer for
# SECONDS (default 60) over a copy of its seed corpus in build/fuzz/corpus; what a run finds
# there stays out of the source tree. Fails, naming the fuzzer and the file that reproduces it,
# on any crash, leak, sanitizer report, broken check or timeout.
#   scripts/fuzz.sh [SECONDS]
# A reproducer runs again with build/fuzz/bin/<name>_fuzzer <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

build=build/fuzz
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Stack traces with file and line: the symbolizer of the clang that built the fuzzers.
ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)
export ASAN_SYMBOLIZER_PATH
shopt -s nullglob
failed=()
while read -r name dictionary; do
    [ -n "$name" ] || continue
    corpus=$build/corpus/$name
    artifacts=$build/artifacts/$name
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    [ ! -d fuzz/corpus/"$name" ] || cp -r fuzz/corpus/"$name"/. "$corpus"/
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$artifacts"/)
    [ -z "${dictionary:-}" ] || options+=(-dict=fuzz/dictionaries/"$dictionary")
    echo "--- $name: ${seconds} s"
    log=$build/artifacts/$name.log
    if "$build"/bin/"$name"_fuzzer "${options[@]}" "$corpus" </dev/null >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::peak_rss_mb' "$log" |
            sed "s/^/    /"
    else
        tail -n 60 "$log"
        found=("$artifacts"/*)
        echo "FAILED: $name; reproducer: ${found[*]}; log: $log"
        failed+=("$name")
    fi
done <"$build"/fuzz/fuzzers.txt

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzers that failed: ${failed[*]}"
    exit 1
fi
echo "Every fuzzer ran ${seconds} s without a finding."
