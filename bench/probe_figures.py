"""station-scan --check and --prometheus --holders beside a plain pass, over a station file of
RECORDS records of which station-owner (another process) holds every sixth locked. Prints the
median wall time of each over 30 runs, taking turns (the whole program: start, pass, output, end), and the
ratios to the plain pass, all from this one run.

usage: STATION_OWNER=build/tools/station-owner STATION_SCAN=build/tools/station-scan \
           python3 bench/probe_figures.py RECORDS
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

STATION_OWNER = os.environ["STATION_OWNER"]
STATION_SCAN = os.environ["STATION_SCAN"]


def median_ms(commands, runs=30):
    """Each command's median time; the commands take turns, so that a busy moment of a shared
    machine weighs on all of them alike."""
    times = [[] for _ in commands]
    for _ in range(runs):
        for command, taken in zip(commands, times):
            started = time.perf_counter()
            subprocess.run(command, stdout=subprocess.DEVNULL)
            taken.append((time.perf_counter() - started) * 1000)
    return [statistics.median(taken) for taken in times]


def main(records):
    folder = tempfile.mkdtemp(prefix="ostrevan-probe-figures-")
    station_file = os.path.join(folder, "Brevanto.SIT")
    subprocess.run([STATION_OWNER, "create", station_file, str(records)], check=True)
    owner = subprocess.Popen([STATION_OWNER, "hold", station_file,
                              *(str(n) for n in range(2, records + 1, 6))],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert owner.stdout.readline().strip() == "ready"
        probes = (("--check", ["--check"]),
                  ("--prometheus --holders", ["--prometheus", "--holders"]))
        plain, *took = median_ms([[STATION_SCAN, folder]] +
                                 [[STATION_SCAN, *options, folder] for _, options in probes])
        print("%d records, %d locked" % (records, len(range(2, records + 1, 6))))
        print("plain pass                   %7.2f ms" % plain)
        for (name, _), time_ms in zip(probes, took):
            print("%-28s %7.2f ms  %.2f x the plain pass" % (name, time_ms, time_ms / plain))
    finally:
        owner.stdin.close()
        owner.wait()
        owner.stdout.close()
        shutil.rmtree(folder)


if __name__ == "__main__":
    main(int(sys.argv[1]))
