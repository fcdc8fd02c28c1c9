#!/usr/bin/env bash
# The fleet's Prometheus side: the shipped rules checked and tested with promtool over synthetic
# series, then a real Prometheus scraping two `dorn serve` agents (HTTP and HTTPS) through
# file-based discovery. Installs what it needs where it is missing (Prometheus, OpenSSL,
# Node.js from Debian), builds dorn and the plug-in in build/default.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

missing=()
command -v node >/dev/null || missing+=(nodejs)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

promtool check rules fleet/dorn-rules.yml
(cd fleet && promtool test rules dorn-rules.test.yml)

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target dorn dorn_helpdesk

cd tests/e2e
DORN_BIN="$PWD/../../build/default/bin/dorn" node --test fleet.test.mjs
