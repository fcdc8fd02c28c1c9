#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the tree differs from what clang-format makes of it
# with the tree's .clang-format. `scripts/check-format.sh --fix` rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null ||
                     find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
differing=()
for file in "${files[@]}"; do
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || differing+=("$file")
done
if [ ${#differing[@]} -gt 0 ]; then
    echo "These files differ from .clang-format (scripts/check-format.sh --fix rewrites them):"
    printf '  %s\n' "${differing[@]}"
    exit 1
fi
echo "All ${#files[@]} C++ files match .clang-format."
