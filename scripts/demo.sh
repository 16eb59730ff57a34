#!/usr/bin/env bash
# Builds, makes a demo folder holding the monitor and a station file of 24 records, lets the
# owner stand-in connect and disconnect workstations at random, and starts the monitor beside it.
# Closing the monitor's window stops the simulation. Without a display, both run for a few
# seconds under a virtual X server with a window manager, and a screenshot is saved.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --demo
cmake --preset default
cmake --build --preset default -j"$(nproc)" --target prOstrevan station-owner station-scan

demo=$PWD/demo
mkdir -p "$demo"
# The monitor opens the station file that lies beside its own executable.
cp build/app/prOstrevan build/tools/station-owner build/tools/station-scan "$demo/"

source scripts/virtual-display.sh
clean_up_at_exit

"$demo/station-owner" simulate "$demo/Brevanto.SIT" --stations 24 --period 150 &
pids+=($!)

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export XDG_RUNTIME_DIR=$demo/runtime
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    start_virtual_display 640x480x24
    "$demo/prOstrevan" &
    pids+=($!)
    sleep "${DEMO_SECONDS:-3}"
    shot=$demo/screenshot.png
    import -window root "$shot"
    echo "No display here: ran the monitor under Xvfb; screenshot: $shot"
else
    # Runs until the user closes the window.
    "$demo/prOstrevan"
fi
