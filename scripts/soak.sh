#!/usr/bin/env bash
# The soak test for as long as asked (default 600 s): installs what is missing, builds, and runs
# the real monitor in a virtual X server beside busy workstations, sampling it every second.
# Usage: scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)" --target prOstrevan station-owner station-scan

export SOAK_SECONDS=${1:-600}
export PROSTREVAN=$PWD/build/app/prOstrevan
export STATION_OWNER=$PWD/build/tools/station-owner
export STATION_SCAN=$PWD/build/tools/station-scan
tests/system/run.sh tests/system/soak_test.py
