#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix:
#   wine-run.sh [--prefix DIR] PROGRAM [ARGUMENTS...]
#   wine-run.sh [--prefix DIR]            (only makes the prefix and starts its server)
# The default prefix is $DORN_WINEPREFIX, else /tmp/dorn-wineprefix-UID; never the user's own:
# tests write into the registry, and Wine keeps what is written.
#
# The wine server and the prefix's services are started here with their stdio on /dev/null.
# Started by a program whose output is a pipe (CTest, test discovery, $(...)), they would
# inherit that pipe and hold it open, and every run would wait for them. The server stays up
# until `wineserver -k` (with WINEPREFIX set) ends it, as scripts/test.sh does: a server that
# ended by itself while the next program started would leave that program to start the
# services, with its pipes.
set -eu

if [ "${1:-}" = --prefix ]; then
    prefix=$2
    shift 2
else
    prefix=${DORN_WINEPREFIX:-/tmp/dorn-wineprefix-$(id -u)}
fi
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No dialogs offering to install the .NET and HTML engines into a new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Also without the lock's descriptor: a server or service that kept it would hold the lock for
# as long as it runs.
quietly() {
    "$@" </dev/null >/dev/null 2>&1 9>&-
}

# A new prefix is marked while it is made: one whose making was interrupted (Wine programs
# would wait for ever for its first boot to end) is made again. A directory holding neither
# mark is not ours and is left alone.
make_prefix() {
    if [ -f "$WINEPREFIX/.dorn-creating" ]; then
        quietly wineserver -k || true
        rm -rf "$WINEPREFIX"
    elif [ -d "$WINEPREFIX" ] && [ -n "$(ls -A "$WINEPREFIX")" ]; then
        echo "wine-run.sh: $WINEPREFIX is not a prefix made by this script" >&2
        exit 125
    fi
    mkdir -p "$WINEPREFIX"
    touch "$WINEPREFIX/.dorn-creating"
    quietly wineserver -p || true
    quietly wine wineboot
    mv "$WINEPREFIX/.dorn-creating" "$WINEPREFIX/.dorn-ready"
}

mkdir -p "$(dirname "$WINEPREFIX")"
(
    # Parallel test runs share the prefix: one of them makes it or starts its server.
    flock 9
    if [ ! -f "$WINEPREFIX/.dorn-ready" ]; then
        make_prefix
    elif quietly wineserver -p; then
        # Status 0: no server was running, so the prefix's services are not up either.
        quietly wine wineboot
    fi
) 9>"$WINEPREFIX.lock"

[ $# -eq 0 ] && exit 0
exec wine "$@"
