#!/usr/bin/env bash
# The monitor's figures in a real X server (Xvfb with openbox) beside a simulated owning
# application: time from launch to a mapped window, resident memory, and CPU use over 10 s.
# Usage: bench/window_figures.sh [BUILD_DIR] [STATIONS]
set -euo pipefail
build=$(realpath "${1:-build}")
stations=${2:-50}
folder=$(mktemp -d)
source "$(dirname "$0")/../scripts/virtual-display.sh"
clean_up_at_exit "$folder"

cp "$build/app/prOstrevan" "$folder/"
"$build/tools/station-owner" simulate "$folder/Brevanto.SIT" --stations "$stations" --period 150 &
pids+=($!)

export XDG_RUNTIME_DIR=$folder
start_virtual_display 1024x768x24
sleep 0.5

# Launch to a mapped window, five times after one launch that warms the X server and the caches;
# the last monitor keeps running for the figures below.
launches=()
for run in 0 1 2 3 4 5; do
    [ -n "${monitor:-}" ] && kill "$monitor" && wait "$monitor" 2>/dev/null || true
    started=$(date +%s%N)
    "$folder/prOstrevan" 2>/dev/null &
    monitor=$!
    until xdotool search --onlyvisible --pid "$monitor" >/dev/null 2>&1; do :; done
    mapped=$(date +%s%N)
    [ "$run" -gt 0 ] && launches+=($(((mapped - started) / 1000000)))
done
pids+=("$monitor")
echo "launch to mapped window: $(printf '%s\n' "${launches[@]}" | sort -n | sed -n 3p) ms" \
    "(median of ${launches[*]})"

# Time on a CPU in nanoseconds, as the scheduler counts it: finer than the clock ticks of /proc/PID/stat.
cpu_ns() { cut -d" " -f1 "/proc/$monitor/schedstat"; }
sleep 2
before=$(cpu_ns)
sleep 10
after=$(cpu_ns)
echo "CPU over 10 s with $stations stations: $(awk -v ns=$((after - before)) \
    'BEGIN { printf "%.2f", 100 * ns / 1e9 / 10 }')% of a core"
echo "resident memory: $(awk '/VmRSS/ { printf "%.1f MB", $2 / 1024 }' "/proc/$monitor/status")"
