#!/usr/bin/env bash
# The main job: build dorn and its plug-in, then run the agent host with the console on this
# machine, seeded with the sample sessions (registry, display-protocol counters, login sessions).
# It prints the console's address and serves until Ctrl-C. Extra arguments go to `dorn serve`
# (e.g. --port 9000).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target dorn dorn_helpdesk

exec build/default/bin/dorn serve \
    --registry samples/sessions.reg \
    --counters tests/fixtures/counters/protocol-counters.json \
    --sessions tests/fixtures/counters/sessions.json "$@"
