#!/usr/bin/env bash
# The whole suite: the format check, the normal build, then the AddressSanitizer+UBSan and ThreadSanitizer
# builds, each with every test; promtool's lint of a scrape of GET /metrics; the fuzzers, 60 s
# each; the console's browser tests against dorn serve; the fleet's rules and a real Prometheus
# scraping dorn serve; then the Windows build with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
echo "=== format ==="
scripts/check-format.sh
jobs=$(nproc)
for preset in default asan tsan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "=== metrics lint ==="
scripts/check-metrics.sh build/default

echo "=== fuzz ==="
scripts/fuzz.sh 60

echo "=== console ==="
scripts/test-e2e.sh

echo "=== fleet ==="
scripts/test-fleet.sh

echo "=== windows ==="
scripts/test-windows.sh
