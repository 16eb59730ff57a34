"""The monitor in a real X server with a real window manager (Xvfb and openbox): it stays above
windows made "above" after it, never takes the keyboard focus, never moves, shows the last free
station in its caption, and lists for a screen reader exactly what station-scan prints.

Run under dbus-run-session, with PROSTREVAN, STATION_OWNER and STATION_SCAN naming the programs.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROSTREVAN = os.environ["PROSTREVAN"]
STATION_OWNER = os.environ["STATION_OWNER"]
STATION_SCAN = os.environ["STATION_SCAN"]

# A guard against hanging, not a measure of speed: every wait below ends as soon as it can.
PATIENCE_S = 10


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE_S
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.02)


class XServer:
    """A private Xvfb on a free display, managed by openbox."""

    def __init__(self):
        readable, writable = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writable), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(writable,), stderr=subprocess.DEVNULL)
        os.close(writable)
        with os.fdopen(readable) as announced:
            self.display = ":" + announced.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.openbox = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                 "openbox to manage the screen")

    def run(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True).stdout

    def stop(self):
        for process in (self.openbox, self.xvfb):
            process.terminate()
            process.wait()

    def stacking(self):
        """Client windows from bottom to top."""
        line = self.run("xprop", "-root", "_NET_CLIENT_LIST_STACKING")
        return [int(word.strip(","), 16) for word in line.split("#", 1)[-1].split()]

    def active_window(self):
        return int(self.run("xprop", "-root", "_NET_ACTIVE_WINDOW").split("#")[-1].split(",")[0],
                   16)

    def input_focus(self):
        return int(self.run("xdotool", "getwindowfocus").strip() or 0)

    def geometry(self, window):
        info = self.run("xwininfo", "-id", str(window))
        keys = ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")
        return tuple(int(line.split(":")[1]) for line in info.splitlines()
                     if line.strip().split(":")[0] in keys)

    def caption(self, window):
        line = self.run("xprop", "-id", str(window), "_NET_WM_NAME")
        return line.split("=", 1)[1].strip().strip('"') if "=" in line else None

    def visible_window_of(self, pid):
        found = self.run("xdotool", "search", "--onlyvisible", "--pid", str(pid)).split()
        return int(found[0]) if found else None


X = None


def setUpModule():
    global X
    X = XServer()
    # Starts the accessibility bus, so that the monitor finds it when it starts.
    read_listing(0)


def tearDownModule():
    X.stop()


def read_listing(pid):
    reader = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "read_listing.py"),
                             str(pid)], capture_output=True, text=True)
    return json.loads(reader.stdout) if reader.returncode == 0 else None


class StationFolder:
    """A folder holding a copy of the monitor and a station file kept by station-owner."""

    def __init__(self, records):
        self.path = tempfile.mkdtemp(prefix="ostrevan-x11-")
        self.monitor = os.path.join(self.path, "prOstrevan")
        shutil.copy(PROSTREVAN, self.monitor)
        self.owner = subprocess.Popen(
            [STATION_OWNER, "serve", os.path.join(self.path, "Brevanto.SIT")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.command("grow %d" % records)

    def command(self, line):
        self.owner.stdin.write(line + "\n")
        self.owner.stdin.flush()
        assert self.owner.stdout.readline().strip() == "ok", line

    def kill_owner(self):
        self.owner.kill()
        self.owner.wait()
        self.owner.stdin = open(os.devnull, "w")

    def scan(self):
        """What station-scan lists, with its line breaks as a text box reads them back."""
        run = subprocess.run([STATION_SCAN, "--json", self.path], capture_output=True, text=True)
        return json.loads(run.stdout)["listing"].replace("\r\n", "\n")

    def remove(self):
        # End of input ends the owner and releases its locks.
        self.owner.stdin.close()
        self.owner.wait()
        self.owner.stdout.close()
        shutil.rmtree(self.path)


class MonitorTest(unittest.TestCase):
    records = 7

    def setUp(self):
        self.folder = StationFolder(self.records)
        self.addCleanup(self.folder.remove)

    def start_monitor(self):
        env = dict(X.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        monitor = subprocess.Popen([self.folder.monitor], env=env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: monitor.poll() is None and (monitor.kill(), monitor.wait()))
        window = wait_for(lambda: X.visible_window_of(monitor.pid), "the monitor's window")
        return monitor, window

    def start_other_window(self, title):
        other = subprocess.Popen(["xmessage", "-title", title, "-geometry", "300x200+0+0",
                                  title], env=X.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (other.kill(), other.wait()))

        def window_titled():
            found = X.run("xdotool", "search", "--onlyvisible", "--name", "^%s$" % title)
            return int(found.split()[0]) if found.split() else None
        return wait_for(window_titled, "the other window")


class CaptionAndListing(MonitorTest):
    def test_shows_what_station_scan_sees_as_the_locks_change(self):
        self.folder.command("lock 3")
        self.folder.command("lock 5:10:5")
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the caption to read 7")

        def listing_follows_the_file():
            expected = self.folder.scan()
            shown = read_listing(monitor.pid)
            return shown is not None and shown["listing"] == expected
        wait_for(listing_follows_the_file, "the listing with records 3 and 5 locked")
        self.assertIn("5- **", read_listing(monitor.pid)["listing"])

        self.folder.command("unlock 3")
        self.folder.command("lock 7")
        self.folder.command("grow 10")
        wait_for(lambda: X.caption(window) == "10", "the caption to follow the grown file")
        wait_for(listing_follows_the_file, "the listing with records 5 and 7 locked")

        self.folder.kill_owner()
        wait_for(lambda: "**" not in read_listing(monitor.pid)["listing"],
                 "the killed owner's records to show free")

    def test_closing_the_window_ends_the_program(self):
        monitor, window = self.start_monitor()
        X.run("wmctrl", "-i", "-c", hex(window))
        self.assertEqual(monitor.wait(timeout=PATIENCE_S), 0)


class KeepTopmost(MonitorTest):
    def monitor_is_above(self, window, other):
        order = X.stacking()
        return window in order and other in order and order.index(window) > order.index(other)

    def test_overtakes_a_window_made_above_later_without_taking_the_focus_or_moving(self):
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the first refresh")
        placed = X.geometry(window)

        other = self.start_other_window("worksheet")
        X.run("wmctrl", "-i", "-r", hex(other), "-b", "add,above")
        X.run("xdotool", "windowactivate", "--sync", str(other))
        wait_for(lambda: self.monitor_is_above(window, other),
                 "the monitor to overtake a window made above after it")

        X.run("xdotool", "windowraise", str(other))
        wait_for(lambda: self.monitor_is_above(window, other), "the monitor to overtake it again")

        # The user works in the other window through many ticks; the focus stays there.
        X.run("xdotool", "type", "--window", str(other), "typing elsewhere")
        time.sleep(1)
        self.assertEqual(X.active_window(), other)
        self.assertNotEqual(X.input_focus(), window)
        self.assertEqual(X.geometry(window), placed)
        self.assertIn("_NET_WM_STATE_ABOVE", X.run("xprop", "-id", str(window), "_NET_WM_STATE"))

    def test_an_ordinary_window_activated_later_stays_below(self):
        monitor, window = self.start_monitor()
        other = self.start_other_window("ordinary")
        X.run("xdotool", "windowactivate", "--sync", str(other))
        wait_for(lambda: self.monitor_is_above(window, other), "the monitor above it")
        self.assertEqual(X.active_window(), other)


if __name__ == "__main__":
    unittest.main(verbosity=2)
