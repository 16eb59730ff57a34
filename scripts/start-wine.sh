#!/usr/bin/env bash
# Makes the Wine prefix WINEPREFIX on first use and starts one server for it that stays until
# `wineserver -k`, with Wine's own background programs (explorer and the device services), so that
# each program then starts in a fraction of a second and under one server throughout.
#
# Debian's wineserver ends as soon as its last program does (its wrapper passes -p0), and so does
# the one wineboot starts. A persistent server cannot start while that one lives: programs would
# then start under servers that come and go, restart the background programs every time, and now
# and then fail to start at all. So the server already running is waited out first, and a server
# that does not start is an error, never left unsaid.
set -euo pipefail
: "${WINEPREFIX:?the Wine prefix to use}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # Without Wine's .NET and HTML engines, which it would offer to download.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
fi
if ! timeout 60 wineserver -w; then
    echo "$0: a Wine server for $WINEPREFIX is still running after 60 s;" \
         "end it with: WINEPREFIX='$WINEPREFIX' wineserver -k" >&2
    exit 1
fi
# The server's output goes elsewhere: it would hold a pipe open as long as it runs.
if ! wineserver -p >/dev/null 2>&1; then
    echo "$0: the Wine server for $WINEPREFIX did not start" >&2
    exit 1
fi
# Their first program starts the background programs: started here, with their output elsewhere,
# they do not hold a test's output pipe open.
wine cmd.exe /c exit >/dev/null 2>&1
