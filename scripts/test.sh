#!/usr/bin/env bash
# Installs what is missing, lints the GitHub workflows, builds, and runs every test: once as
# built, once under AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows programs
# cross-built and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/lint-workflows.sh
jobs=$(nproc)
for preset in default sanitize windows; do
    echo "=== ${preset} build"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$jobs"
    if [ "$preset" = windows ]; then
        scripts/with-wine.sh ctest --preset "$preset" -j"$jobs"
    else
        ctest --preset "$preset" -j"$jobs"
    fi
done
