#!/usr/bin/env bash
# dorn.exe under Wine in dorn's place, for the console's browser tests (DORN_BIN):
#   DORN_EXE=build/windows/bin/dorn.exe WINEPREFIX=... scripts/wine-dorn.sh serve [OPTIONS]
# Linux paths among the arguments become paths on Wine's drive Z:, and SIGTERM becomes the
# Ctrl+C that stops dorn.exe serve in order. The prefix's server must be running already
# (cmake/wine-run.sh), or it would hold the caller's pipes.
set -u
: "${DORN_EXE:?set DORN_EXE to the dorn.exe to run}"
export WINEDEBUG=-all
arguments=()
for argument in "$@"; do
    case $argument in
        /*) arguments+=("Z:$argument") ;;
        *) arguments+=("$argument") ;;
    esac
done
wine "$DORN_EXE" "${arguments[@]}" </dev/null &
child=$!
trap 'kill -INT $child 2>/dev/null' TERM INT
status=0
# A trapped signal ends `wait` early; wait again until the child has ended.
while kill -0 $child 2>/dev/null; do
    wait $child
    status=$?
done
exit $status
