#!/usr/bin/env bash
# Runs a command (the Windows tests) with a Wine prefix of the Windows build's own, made on first
# use, and one wineserver kept running throughout (scripts/start-wine.sh).
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
scripts/start-wine.sh
status=0
"$@" || status=$?
wineserver -k >/dev/null 2>&1 || true
exit "$status"
