#!/usr/bin/env bash
# Runs a command (the Windows tests) with a Wine prefix of the Windows build's own, made on first
# use, and one wineserver kept running throughout, so that each program starts in a fraction of a
# second instead of starting a server of its own. The server's output goes elsewhere: on a pipe,
# it would hold the pipe open and CTest would wait for it after every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# The window tests need an X display: without one, a virtual one with a window manager.
source scripts/virtual-display.sh
clean_up_at_exit
if [ -z "${DISPLAY:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
    folders_to_remove+=("$XDG_RUNTIME_DIR")
    start_virtual_display 1024x768x24
fi

export WINEPREFIX=$PWD/build-windows/wine WINEDEBUG=-all
# A new prefix is made without Wine's .NET and HTML engines, which it would offer to download.
[ -f "$WINEPREFIX/system.reg" ] || WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 &
# With a display, the first program also starts Wine's own background programs (explorer and the
# device services), which live as long as the server: started here, they do not hold a test's
# output pipe open.
wine cmd.exe /c exit >/dev/null 2>&1
status=0
"$@" || status=$?
wineserver -k >/dev/null 2>&1 || true
exit "$status"
