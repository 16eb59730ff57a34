"""The monitor in a real X server with a real window manager (OSTREVAN_WM, see harness): it comes
back over a window made "above" after it that covers it, never takes the keyboard focus, never
moves, shows the last free station in its caption, and lists for a screen reader exactly what
station-scan prints."""
import os
import subprocess
import unittest

from harness import (PATIENCE_S, StationFolder, XServer, as_read_back, install_monitor,
                     read_listing, scan, wait_for)

X = None


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


class MonitorTest(unittest.TestCase):
    def setUp(self):
        self.folder = StationFolder(7)
        self.addCleanup(self.folder.remove)

    def start_monitor(self):
        return X.start_monitor(self, install_monitor(self.folder.path))

    def start_other_window(self, title, place=(0, 0)):
        other = subprocess.Popen(["xmessage", "-title", title, "-geometry", "300x200+%d+%d" % place,
                                  title], env=X.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (other.kill(), other.wait()))
        return wait_for(lambda: X.visible_window("--name", "^%s$" % title), "the other window")


def foreign_locks(folder):
    """The locks on the station file that any process but its owner holds, from /proc/locks."""
    status = os.stat(os.path.join(folder.path, "Brevanto.SIT"))
    key = "%02x:%02x:%d" % (os.major(status.st_dev), os.minor(status.st_dev), status.st_ino)
    with open("/proc/locks") as locks:
        # "1: POSIX  ADVISORY  WRITE 1234 08:01:5678 0 80", waiters with "->" before the kind.
        return [line for line in locks
                if line.split()[-3] == key and line.split()[-4] != str(folder.owner.pid)]


class CaptionAndListing(MonitorTest):
    def test_shows_what_station_scan_sees_as_the_locks_change(self):
        self.folder.command("lock 3")
        self.folder.command("lock 5:10:5")
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the caption to read 7")

        def listing_follows_the_file():
            return read_listing(monitor.pid) == as_read_back(scan(self.folder.path)["listing"])
        wait_for(listing_follows_the_file, "the listing with records 3 and 5 locked")
        self.assertIn("5- **", read_listing(monitor.pid))
        self.assertEqual(foreign_locks(self.folder), [])

        self.folder.command("unlock 3")
        self.folder.command("lock 7")
        self.folder.command("grow 10")
        wait_for(lambda: X.caption(window) == "10", "the caption to follow the grown file")
        wait_for(listing_follows_the_file, "the listing with records 5 and 7 locked")

        self.folder.kill_owner()
        wait_for(lambda: "**" not in (read_listing(monitor.pid) or "**"),
                 "the killed owner's records to show free")

    def test_closing_the_window_ends_the_program(self):
        monitor, window = self.start_monitor()
        X.run("wmctrl", "-i", "-c", hex(window))
        self.assertEqual(monitor.wait(timeout=PATIENCE_S), 0)


class KeepTopmost(MonitorTest):
    TICKS = 20

    def monitor_is_above(self, window, other):
        order = X.stacking()
        return window in order and other in order and order.index(window) > order.index(other)

    def over_ticks(self, window, each_tick):
        """Runs each_tick after each of TICKS ticks (see harness); the monitor never locks the
        file meanwhile."""
        def tick():
            each_tick()
            self.assertEqual(foreign_locks(self.folder), [])
        X.over_ticks(self.folder, window, self.TICKS, tick)

    def assert_focus_left_alone(self, window, active):
        self.assertEqual(X.active_window(), active)
        self.assertNotEqual(X.input_focus(), window)
        # A window manager that refuses a raise may flag the window as wanting the user instead.
        self.assertNotIn("DEMANDS_ATTENTION", X.run("xprop", "-id", str(window), "_NET_WM_STATE"))

    def test_overtakes_a_covering_window_made_above_later_without_taking_the_focus_or_moving(self):
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the first refresh")
        placed = X.geometry(window)

        other = self.start_other_window("worksheet", placed[:2])
        X.run("wmctrl", "-i", "-r", hex(other), "-b", "add,above")
        X.run("xdotool", "windowactivate", "--sync", str(other))
        wait_for(lambda: self.monitor_is_above(window, other),
                 "the monitor to overtake a window made above after it")

        # The user works in the other window and brings it to the front again and again.
        def raise_other_and_check():
            X.run("xdotool", "windowraise", str(other))
            wait_for(lambda: self.monitor_is_above(window, other),
                     "the monitor to overtake it again")
            self.assert_focus_left_alone(window, other)
        self.over_ticks(window, raise_other_and_check)
        self.assertEqual(X.geometry(window), placed)
        self.assertIn("_NET_WM_STATE_ABOVE", X.run("xprop", "-id", str(window), "_NET_WM_STATE"))

    def test_stays_under_a_window_made_above_later_until_it_covers_the_monitor(self):
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the first refresh")
        left, top, width, _ = X.geometry(window)
        # Well clear of the monitor and its frame, on a 1024 pixels wide screen.
        aside = (left + width + 100, top) if left < 400 else (0, top)
        other = self.start_other_window("aside", aside)
        X.run("wmctrl", "-i", "-r", hex(other), "-b", "add,above")
        X.run("xdotool", "windowactivate", "--sync", str(other))
        X.run("xdotool", "windowraise", str(other))
        wait_for(lambda: self.monitor_is_above(other, window), "the other window over the monitor")
        self.over_ticks(window, lambda: self.assertTrue(self.monitor_is_above(other, window)))
        self.assert_focus_left_alone(window, other)

        X.run("xdotool", "windowmove", "--sync", str(other), str(left), str(top))
        wait_for(lambda: self.monitor_is_above(window, other),
                 "the monitor to overtake it once it is moved over the monitor")
        self.assert_focus_left_alone(window, other)

    def test_an_ordinary_window_activated_later_stays_below_and_keeps_the_focus(self):
        monitor, window = self.start_monitor()
        wait_for(lambda: X.caption(window) == "7", "the first refresh")
        other = self.start_other_window("ordinary", X.geometry(window)[:2])
        X.run("xdotool", "windowactivate", "--sync", str(other))
        wait_for(lambda: self.monitor_is_above(window, other), "the monitor above it")
        self.over_ticks(window, lambda: (self.assertTrue(self.monitor_is_above(window, other)),
                                         self.assert_focus_left_alone(window, other)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
