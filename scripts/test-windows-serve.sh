#!/usr/bin/env bash
# dorn.exe serve and the Windows service "dorn" under Wine, asked with curl from Linux:
#   1. dorn.exe serve answers /api/sessions, ClientInfo from a .reg file, ProcessMetrics (Wine's
#      processes) and GET /metrics, refuses requests without the token, and stops in order on
#      Ctrl+C.
#   2. The service: install, sc start, RUNNING, one request, sc stop, STOPPED, uninstall; a start
#      that fails says why through the service's exit code.
# In both, the plug-in's unload hook is seen to run at FreeLibrary: it removes its worker from a
# framework that was shut down already, and the framework logs that (level 1).
# Called by scripts/test-windows.sh after the build, with WINEPREFIX set to the build's prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix of the build}"
export WINEPREFIX WINEDEBUG=-all
dorn=build/windows/bin/dorn.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Polls `condition` every 0.2 s for up to `seconds`: a bound for slow machines, not a measure.
wait_for() {
    local seconds=$1
    shift
    local tries=$((seconds * 5))
    while ! "$@"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.2
    done
}

windows_path() {
    local path
    path=$(realpath "$1")
    echo "Z:${path//\//\\}"
}

registry=$(windows_path samples/sessions.reg)

# HTTP status and body of a request: ask PATH [TOKEN [JSON]]
ask() {
    local url=$base$1 token=${2:-} body=${3:-}
    local arguments=(-s -o "$work/body" -w '%{http_code}' --max-time 60)
    [ -z "$token" ] || arguments+=(-H "Authorization: Bearer $token")
    [ -z "$body" ] || arguments+=(-H 'Content-Type: application/json' -X POST -d "$body")
    curl "${arguments[@]}" "$url" || echo 000
}

expect_answer() {  # what PATH TOKEN JSON STATUS TEXT
    local what=$1 status
    status=$(ask "$2" "$3" "$4")
    if [ "$status" != "$5" ] || ! grep -qF -- "$6" "$work/body"; then
        fail "$what: HTTP $status, $(head -c 300 "$work/body")"
    fi
}

check_console() {  # the requests both parts make, with TOKEN
    local token=$1
    expect_answer "without the token" /api/sessions "" "" 401 '"a valid token is required"'
    expect_answer "with a wrong token" /api/sessions "$(printf '%064d' 0)" "" 401 \
        '"a valid token is required"'
    expect_answer "sessions" /api/sessions "$token" "" 200 '{"id":3,'
    expect_answer "ClientInfo" /api/ClientInfo "$token" '{"SESSIONID": 3}' 200 \
        '"broker_dns_name": "broker01.corp.example"'
    expect_answer "ProcessMetrics" /api/ProcessMetrics "$token" '{}' 200 '"name": "services.exe"'
    expect_answer "the console page" / "$token" "" 200 '<html'
    expect_answer "metrics without the token" /metrics "" "" 401 '"a valid token is required"'
    # The host's own counters are there from the first request on.
    expect_answer "metrics" /metrics "$token" "" 200 \
        'dorn_plugin_requests_total{opcode="ClientInfo",result="true"} 1'
}

# The number of the first line of LOG that holds TEXT: LOG TEXT
line_of() {
    grep -nF -- "$2" "$1" | head -1 | cut -d: -f1 || true
}

# The unload hook runs after the host stopped serving and shut the framework down.
check_unload_seen() {  # LOG
    local stopped removed
    stopped=$(line_of "$1" 'dorn: dorn serve: stopped')
    removed=$(line_of "$1" 'quillmesh: Worker not removed (it is not installed): AgentHelpDesk')
    if [ -z "$stopped" ] || [ -z "$removed" ] || [ "$removed" -le "$stopped" ]; then
        fail "the plug-in's unload hook was not seen after the stop:"
        cat "$1" >&2
    fi
}

echo "== dorn.exe serve under Wine"
rm -rf "$WINEPREFIX/drive_c/dorn-serve-test"
wine "$dorn" serve --port 0 --token-file 'C:\dorn-serve-test\token' --registry "$registry" \
    --log-level 1 </dev/null >"$work/serve.out" 2>"$work/serve.log" &
server=$!
if wait_for 120 grep -qs 'console at' "$work/serve.out"; then
    url=$(grep -o 'http://[^ ]*' "$work/serve.out" | tr -d '\r')
    base=${url%%/login*}
    token=${url##*token=}
    check_console "$token"
    # Ctrl+C reaches the process as Wine turns SIGINT into a console control event.
    kill -INT $server
    status=0
    wait $server || status=$?
    [ $status -eq 0 ] || fail "serve ended with status $status after Ctrl+C"
    [ -n "$(line_of "$work/serve.log" 'dorn: dorn serve: stopping on signal 2')" ] ||
        fail "no orderly stop on Ctrl+C"
    check_unload_seen "$work/serve.log"
else
    fail "dorn.exe serve printed no console address:"
    cat "$work/serve.out" "$work/serve.log" >&2
    kill $server 2>/dev/null || true
fi

echo "== the service \"dorn\" under Wine's service manager"
# The service writes its log lines to the event log, which Wine writes to the standard error
# that the service inherits from the prefix's service manager, with its environment: the
# manager is started again here with the event log's messages on and its output in a file.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,+eventlog wine wineboot </dev/null >"$work/services.log" 2>&1
state() {
    wine sc query dorn </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ { print $4 }'
}
is_state() { [ "$(state)" = "$1" ]; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base=http://127.0.0.1:$port
rm -rf "$WINEPREFIX/drive_c/dorn service test"
wine "$dorn" service uninstall </dev/null >/dev/null 2>&1 || true  # left by an earlier run
wine "$dorn" service install --port "$port" --token-file 'C:\dorn service test\token' \
    --registry "$registry" --log-level 1 </dev/null || fail "install"
wine sc start dorn </dev/null >/dev/null 2>&1 || fail "sc start"
if wait_for 120 is_state RUNNING; then
    token=$(cat "$WINEPREFIX/drive_c/dorn service test/token")
    expect_answer "sessions from the service" /api/sessions "$token" "" 200 '{"id":3,'
else
    fail "the service is $(state), not RUNNING"
fi
wine sc stop dorn </dev/null >/dev/null 2>&1 || fail "sc stop"
wait_for 60 is_state STOPPED || fail "the service is $(state), not STOPPED"
[ -n "$(line_of "$work/services.log" 'dorn: dorn serve: stopping on signal 15')" ] ||
    fail "no orderly stop on the service's stop control"
check_unload_seen "$work/services.log"
wine "$dorn" service uninstall </dev/null || fail "uninstall"
[ -z "$(state)" ] || fail "the service is still there after uninstall"

# A start that fails (a .reg file that is not there) stops the service with dorn's exit status
# 2 as the service's own exit code (ERROR_SERVICE_SPECIFIC_ERROR, 1066).
wine "$dorn" service install --port "$port" --registry 'C:\no-such.reg' </dev/null >/dev/null ||
    fail "install"
wine sc start dorn </dev/null >/dev/null 2>&1 || true
wait_for 60 is_state STOPPED || fail "the failing service is $(state), not STOPPED"
codes=$(wine sc query dorn </dev/null 2>/dev/null | tr -d '\r' | awk '/EXIT_CODE/ { print $3 }' |
    paste -sd' ')
[ "$codes" = "1066 2" ] || fail "the failing service's exit codes are '$codes', not '1066 2'"
wine "$dorn" service uninstall </dev/null >/dev/null || fail "uninstall"

if [ $failures -ne 0 ]; then
    echo "dorn.exe serve and service under Wine: $failures failure(s)"
    exit 1
fi
echo "dorn.exe serve and service under Wine: passed"
