#!/usr/bin/env bash
# Runs a command (the Windows tests) with a Wine prefix of the Windows build's own, made on first
# use, and one wineserver kept running throughout, so that each program starts in a fraction of a
# second instead of starting a server of its own. The server's output goes elsewhere: on a pipe,
# it would hold the pipe open and CTest would wait for it after every test.
set -euo pipefail
cd "$(dirname "$0")/.."

export WINEPREFIX=$PWD/build-windows/wine WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
status=0
"$@" || status=$?
exit "$status"
