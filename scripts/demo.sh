#!/usr/bin/env bash
# Builds, makes a demo folder with a station file of 24 records beside the tools, lets the
# owner stand-in connect and disconnect workstations at random, and shows what a scan sees
# ten times a second for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)" --target station-owner station-scan

demo=demo
mkdir -p "$demo"
cp build/tools/station-owner build/tools/station-scan "$demo/"
"$demo/station-owner" simulate "$demo/Brevanto.SIT" --stations 24 --period 150 &
owner=$!
trap 'kill "$owner" 2>/dev/null || true' EXIT

seconds=${DEMO_SECONDS:-5}
for ((tick = 0; tick < seconds * 10; ++tick)); do
    sleep 0.1
    [ -t 1 ] && printf '\033[H\033[2J'
    "$demo/station-scan"
done
