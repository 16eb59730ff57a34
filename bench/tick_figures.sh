#!/usr/bin/env bash
# One tick of the monitor against the bare lock-query-and-read floor, in a real X server (Xvfb
# with openbox), so that the keep-topmost step is a real one. Prints the benchmark's table, then the ratios
# that matter, all from this one run.
# Usage: bench/tick_figures.sh [BUILD_DIR] [extra benchmark options]
set -euo pipefail
build=$(realpath "${1:-build}")
shift || true
folder=$(mktemp -d)
source "$(dirname "$0")/../scripts/virtual-display.sh"
clean_up_at_exit "$folder"

export XDG_RUNTIME_DIR=$folder
start_virtual_display 1024x768x24

"$build/bench/scan_bench" --benchmark_out="$folder/figures.json" --benchmark_out_format=json "$@"
/usr/bin/python3 - "$folder/figures.json" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("run_type", "iteration") == "iteration"}
def nanoseconds(name, kind):
    return runs[name][kind] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[runs[name]["time_unit"]]
def measured(name):
    # A tick's pass runs on the window's worker thread: a tick is timed by the wall clock.
    if name.startswith("Tick"):
        return nanoseconds(name + "/real_time", "real_time")
    return nanoseconds(name, "cpu_time")
print("\nper tick against the floor (CPU time; a tick by the wall clock), a tenth of the records"
      " locked:")
print("%8s %8s %8s %14s" % ("records", "pass", "tick", "changed tick"))
for n in (10, 100, 1000, 10000):
    floor = measured("Floor/tenth/%d" % n)
    print("%8d %7.2fx %7.2fx %13.2fx" % (n, measured("Pass/tenth/%d" % n) / floor,
                                         measured("Tick/tenth/%d" % n) / floor,
                                         measured("TickChanging/tenth/%d" % n) / floor))
follow = (9 * measured("FollowCheck/handle") + measured("FollowCheck/path")) / 10
print("\nfollowing the file at its path, the handle every tick and the path every tenth: "
      "%.0f ns a tick (handle %.0f ns, with the path %.0f ns); against the pass:" % (
          follow, measured("FollowCheck/handle"), measured("FollowCheck/path")))
for n in (10, 100, 1000, 10000):
    print("%8d %8.3f%%" % (n, 100 * follow / measured("Pass/tenth/%d" % n)))
print("\n10 locks whatever the size: tick per record against 100 records, and against the floor:")
def per_record(name, n): return measured("%s/ten/%d" % (name, n)) / n
for n in (100, 1000, 10000, 100000):
    print("%8d %8.0f ns %6.2fx %6.2fx   (tick %.1f ms)" % (
        n, per_record("Tick", n), per_record("Tick", n) / per_record("Tick", 100),
        per_record("Tick", n) / per_record("Floor", n), measured("Tick/ten/%d" % n) / 1e6))
PY
