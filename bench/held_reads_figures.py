"""The monitor over a share that stops answering, in a private X server with openbox: a station
file of 7 records on a FUSE file system of the tests' own (tests/system/faultfs.py) whose reads are
held. Prints, over RUNS outages, the time from holding the reads to the outage box on the screen,
and from letting them go to the whole listing again (the caption and the listing are applied
together: the caption's change is timed, then the listing checked); then the CPU time and the
resident memory of two monitors idle side by side over an ordinary disk for IDLE_S seconds, the
one before a change and the one after, and their ratios, all from this one run. With --screenshot,
the screen with the first outage's box up is saved there.

usage (under a session bus, as the system tests run; Linux):
  STATION_OWNER=build/tools/station-owner PROSTREVAN=build/app/prOstrevan \
  STATION_SCAN=build/tools/station-scan \
      tests/system/run.sh bench/held_reads_figures.py [--runs N] [--idle-s S] \
          [--screenshot PNG] MONITOR [BEFORE_MONITOR]
and with --wine, MONITOR and BEFORE_MONITOR being prOstrevan.exe builds, under the Wine prefix
WINEPREFIX. The station files are made with the Linux station-owner in both cases.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "system"))
from faultfs import FaultFs  # noqa: E402
from harness import (STATION_OWNER, XServer, read_listing, start_wine, stop_wine,  # noqa: E402
                     wait_for)

SEVEN = "2\t3\n4\t5\t6\n7\t8\t"
PATIENCE_S = 60


class Monitors:
    """Monitors started in folders of their own, on the Linux side or under Wine."""

    def __init__(self, x, wine):
        self.x, self.wine = x, wine
        self.processes = []
        if wine:
            self.env = dict(x.env, WINEDEBUG="-all")
            start_wine(self.env)
        else:
            self.env = dict(x.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")

    def start(self, monitor, folder):
        """The monitor copied into folder and started; returns its process and its window."""
        executable = os.path.join(folder, "prOstrevan" + (".exe" if self.wine else ""))
        shutil.copy(monitor, executable)
        known = set(self.wine_windows())
        process = subprocess.Popen((["wine"] if self.wine else []) + [executable], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        if self.wine:
            window = wait_for(lambda: (set(self.wine_windows()) - known or {None}).pop(),
                              "the monitor's window", PATIENCE_S)
        else:
            window = wait_for(lambda: self.x.visible_window("--pid", str(process.pid)),
                              "the monitor's window", PATIENCE_S)
        wait_for(lambda: self.x.caption(window) == "7", "the first refresh", PATIENCE_S)
        return process, window

    def wine_windows(self):
        return [int(found) for found in self.x.run(
            "xdotool", "search", "--onlyvisible", "--class", "prostrevan").split()]

    def stop(self):
        for process in self.processes:
            process.kill()
            process.wait()
        if self.wine:
            stop_wine(self.env)


def station_folder(root, name, records=7):
    folder = os.path.join(root, name)
    os.mkdir(folder)
    subprocess.run([STATION_OWNER, "create", os.path.join(folder, "Brevanto.SIT"), str(records)],
                   check=True)
    return folder


def box_shown(x):
    return x.visible_window("--name", "^prOstrevan$")


def outages(x, monitors, monitor, root, runs, screenshot):
    """Seconds from holding the reads to the box, and from letting them go to the listing."""
    backing = station_folder(root, "backing")
    mount, folder = os.path.join(root, "mount"), os.path.join(root, "folder")
    os.mkdir(mount)
    os.mkdir(folder)
    to_box, to_listing = [], []
    with FaultFs(backing, mount, os.path.join(root, "control")) as fs:
        os.symlink(os.path.join(mount, "Brevanto.SIT"), os.path.join(folder, "Brevanto.SIT"))
        process, window = monitors.start(monitor, folder)
        for run in range(runs):
            held = time.monotonic()
            fs.hold_reads()
            wait_for(lambda: box_shown(x), "the outage box", PATIENCE_S)
            to_box.append(time.monotonic() - held)
            if run == 0 and screenshot:
                subprocess.run(["import", "-window", "root", screenshot], env=x.env, check=True)
            let_go = time.monotonic()
            fs.heal()
            wait_for(lambda: x.caption(window) == "7", "the caption back", PATIENCE_S)
            to_listing.append(time.monotonic() - let_go)
            if not monitors.wine:
                assert read_listing(process.pid) == SEVEN, "a caption without its listing"
            wait_for(lambda: not box_shown(x), "the box to go", PATIENCE_S)
        process.kill()
        # A monitor still in a read would keep the mount busy: let go before it is unmounted.
        process.wait()
    return to_box, to_listing


def threads(pid):
    return os.listdir("/proc/%d/task" % pid)


def cpu_by_thread(pid):
    """Each thread's time on a CPU in nanoseconds, as the scheduler counts it: finer than the
    clock ticks of /proc/PID/stat."""
    times = {}
    for thread in threads(pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, thread)) as schedstat:
                times[thread] = int(schedstat.read().split()[0])
        except FileNotFoundError:
            pass  # ended meanwhile
    return times


def cpu_seconds_since(pid, before):
    """CPU time of the process since the threads' times before: of the threads alive now, what
    they used since (all of it for a thread started since). A thread that ended meanwhile (Qt's
    pooled threads end after 30 s idle) takes along what it used since, which the thread counts
    printed show."""
    now = cpu_by_thread(pid)
    return sum(used - before.get(thread, 0) for thread, used in now.items()) / 1e9


def resident_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def idle(x, monitors, named, root, idle_s):
    """CPU seconds and resident MB of each monitor, all idle at once, side by side."""
    started = {}
    for place, (name, monitor) in enumerate(named.items()):
        process, window = monitors.start(monitor, station_folder(root, "idle-" + name))
        x.run("xdotool", "windowmove", str(window), str(200 + 300 * place), "100")
        started[name] = process
    # The keyboard focus elsewhere, so that neither blinks a caret.
    other = subprocess.Popen(["xmessage", "-title", "worksheet", "-geometry", "300x200+0+400",
                              "worksheet"], env=x.env, stderr=subprocess.DEVNULL)
    monitors.processes.append(other)
    worksheet = wait_for(lambda: x.visible_window("--name", "^worksheet$"), "the other window",
                         PATIENCE_S)
    x.run("xdotool", "windowactivate", "--sync", str(worksheet))
    time.sleep(2)  # past the start's own work
    before = {name: cpu_by_thread(process.pid) for name, process in started.items()}
    time.sleep(idle_s)
    return {name: (cpu_seconds_since(process.pid, before[name]), resident_mb(process.pid),
                   len(before[name]), len(threads(process.pid)), comm(process.pid))
            for name, process in started.items()}


def comm(pid):
    with open("/proc/%d/comm" % pid) as name:
        return name.read().strip()


def describe(seconds):
    return "median %.2f s (%s)" % (statistics.median(seconds),
                                   ", ".join("%.2f" % each for each in seconds))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-s", type=float, default=30)
    parser.add_argument("--screenshot")
    parser.add_argument("monitor")
    parser.add_argument("before", nargs="?")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="ostrevan-held-figures-")
    x = XServer()
    monitors = Monitors(x, arguments.wine)
    try:
        if arguments.runs:
            to_box, to_listing = outages(x, monitors, arguments.monitor, root, arguments.runs,
                                         arguments.screenshot)
            print("reads held to the outage box: " + describe(to_box))
            print("reads let go to the whole listing: " + describe(to_listing))
        if arguments.before:
            used = idle(x, monitors, {"before": arguments.before, "after": arguments.monitor},
                        root, arguments.idle_s)
            for name, (cpu, memory, threads_then, threads_now, process) in used.items():
                print("%s (%s, %d threads, %d at the end), idle %.0f s: CPU %.3f s (%.2f%% of "
                      "a core), resident %.1f MB" % (
                          name, process, threads_then, threads_now, arguments.idle_s, cpu,
                          100 * cpu / arguments.idle_s, memory))
            (cpu_before, memory_before), (cpu_after, memory_after) = (used["before"][:2],
                                                                      used["after"][:2])
            print("after / before: CPU %.2fx, resident memory %.2fx" % (
                cpu_after / cpu_before if cpu_before else float("nan"),
                memory_after / memory_before))
    finally:
        monitors.stop()
        x.stop()
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
