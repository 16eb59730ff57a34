"""A soak of the real monitor in a real X server beside busy workstations: SOAK_SECONDS (60 by
default) of station-owner simulating workstations that connect and disconnect every 20 ms, while
the owning application grows the file every 10 seconds.

Sampled every second: the monitor's resident memory (after the first 10 s it may grow by 1 MB at
most), its open descriptors (constant), and the locks its process holds (never any). After each
growth the caption must follow; between growths the owners only lock and unlock, and the station
file's bytes and modification time must stay exactly as they were. Prints what it saw as one JSON
line, the figures that docs/reliability.md quotes."""
import hashlib
import json
import os
import subprocess
import time
import unittest

from harness import SANITIZED, STATION_OWNER, StationFolder, XServer, install_monitor, wait_for

SECONDS = int(os.environ.get("SOAK_SECONDS", "60"))
SETTLING_S = 10
GROWTH_EVERY_S = 10
MEMORY_GROWTH_LIMIT_KB = 1024
# Under AddressSanitizer freed memory waits in a quarantine on purpose, so resident memory there
# says nothing about leaks; LeakSanitizer checks them at the end instead.
STATIONS = 40


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def open_descriptors(pid):
    return sorted(os.listdir("/proc/%d/fd" % pid), key=int)


def locks_held(pid):
    """The monitor's locks: lines of /proc/locks with its process id, and locks that its open
    files hold (open-file-description locks show no process there, but in the file's fdinfo)."""
    with open("/proc/locks") as table:
        # A lock that waits for another is listed after "->".
        held = [line for line in table if line.replace("->", "").split()[4] == str(pid)]
    for descriptor in open_descriptors(pid):
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, descriptor)) as info:
                held += [line for line in info if line.startswith("lock:")]
        except FileNotFoundError:
            pass  # closed meanwhile
    return held


def fingerprint(path):
    status = os.stat(path)
    with open(path, "rb") as station:
        digest = hashlib.sha256(station.read()).hexdigest()
    return status.st_size, status.st_mtime_ns, digest


class Soak(unittest.TestCase):
    def test_runs_steady_beside_busy_workstations(self):
        x = XServer()
        self.addCleanup(x.stop)
        folder = StationFolder(STATIONS)
        self.addCleanup(folder.remove)
        station = os.path.join(folder.path, "Brevanto.SIT")
        workstations = subprocess.Popen([STATION_OWNER, "simulate", station, "--stations",
                                         str(STATIONS), "--period", "20", "--seed", "4"])
        self.addCleanup(lambda: (workstations.kill(), workstations.wait()))
        monitor, window = x.start_monitor(self, install_monitor(folder.path))
        wait_for(lambda: x.caption(window) == str(STATIONS), "the first refresh")

        records = STATIONS
        unchanged = fingerprint(station)
        samples, caption_delays_ms, problems = [], [], []
        started = time.monotonic()
        for second in range(1, SECONDS + 1):
            time.sleep(max(0.0, started + second - time.monotonic()))
            self.assertIsNone(monitor.poll(), "the monitor ended")
            samples.append({"s": second, "rss_kb": resident_kb(monitor.pid),
                            "fds": open_descriptors(monitor.pid)})
            held = locks_held(monitor.pid)
            if held:
                problems.append("at %d s the monitor holds locks: %s" % (second, held))
            if second % GROWTH_EVERY_S == 5:
                # Nothing but locks since the last growth: the file must be as it was.
                if fingerprint(station) != unchanged:
                    problems.append("the file changed without a write between %d s and %d s" % (
                        second - GROWTH_EVERY_S, second))
                records += 5
                folder.command("grow %d" % records)
                grown = time.monotonic()
                wait_for(lambda: x.caption(window) == str(records),
                         "the caption to follow the file to %d records" % records)
                caption_delays_ms.append(round((time.monotonic() - grown) * 1000))
                unchanged = fingerprint(station)
        if fingerprint(station) != unchanged:
            problems.append("the file changed without a write in the last stretch")

        settled = [sample["rss_kb"] for sample in samples if sample["s"] >= SETTLING_S]
        growth_kb = max(settled) - settled[0]
        descriptors = {tuple(sample["fds"]) for sample in samples}
        print(json.dumps({"seconds": SECONDS, "sanitized": SANITIZED,
                          "rss_kb_first": samples[0]["rss_kb"], "rss_kb_at_10s": settled[0],
                          "rss_kb_max_after_10s": max(settled), "rss_growth_kb": growth_kb,
                          "rss_kb_each_minute": [sample["rss_kb"] for sample in samples
                                                 if sample["s"] % 60 == 0],
                          "fds": len(samples[0]["fds"]), "fd_sets_seen": len(descriptors),
                          "caption_delays_ms": caption_delays_ms}))
        self.assertEqual(problems, [])
        self.assertEqual(len(descriptors), 1, "open descriptors changed: %s" % descriptors)
        if not SANITIZED:
            self.assertLessEqual(growth_kb, MEMORY_GROWTH_LIMIT_KB)
        x.run("wmctrl", "-i", "-c", hex(window))
        self.assertEqual(monitor.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
