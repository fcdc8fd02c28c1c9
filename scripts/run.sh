#!/usr/bin/env bash
# The main job: build dorn and its plug-in, then ask the plug-in about the sample sessions.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target dorn dorn_helpdesk

dorn=build/default/bin/dorn
show() {
    echo
    echo "\$ dorn call $*"
    "$dorn" call "$@" || true
}
show --registry samples/sessions.reg ClientInfo SESSIONID=3
show --registry samples/sessions.reg LogonTimeInfo SESSIONID=3
show --registry samples/sessions.reg VexelTelemetry SESSIONID=3
show --registry samples/sessions.reg VexelTelemetry SESSIONID=4
show ClientInfo
show ProcessMetrics
show Performance type=1
show --registry samples/sessions.reg --counters tests/fixtures/counters/protocol-counters.json \
     --sessions tests/fixtures/counters/sessions.json ProtocolInfo SESSIONID=3
