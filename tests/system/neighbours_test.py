"""The monitor beside windows it does not climb over (OSTREVAN_WM, see harness). Two monitors, of
two folders, whose windows overlap keep their places instead of swapping them every tick. A
fullscreen window (a till's application in kiosk mode), even one that is "above" too, is left
where the window manager stacks it: over the monitor under openbox, which refuses any request to
come over it, under it under xfwm4; the monitor asks nothing meanwhile, and comes back over it
once it is an ordinary "above" window again."""
import subprocess
import unittest

from harness import RootRequests, XServer, wait_for

X = None
TICKS = 20


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


class Neighbours(unittest.TestCase):
    def test_overlapping_monitors_keep_their_places(self):
        folder, first = X.start_refreshed_monitor(self)
        _, second = X.start_refreshed_monitor(self)
        X.move_over(second, first, (60, 40))
        requests = RootRequests(X)
        self.addCleanup(requests.stop)
        # A tick of each after the move, before anything counts.
        X.over_ticks(folder, first, 2, lambda: None)
        second_over = X.lies_over(second, first)
        asked = requests.count()

        def in_place():
            self.assertEqual(X.lies_over(second, first), second_over)
            self.assertEqual(requests.count(), asked)
        X.over_ticks(folder, first, TICKS, in_place)

    def test_a_fullscreen_window_is_left_over_it_until_it_leaves_fullscreen(self):
        folder, window = X.start_refreshed_monitor(self)
        program = subprocess.Popen(["xmessage", "-title", "till", "till"], env=X.env,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (program.kill(), program.wait()))
        till = wait_for(lambda: X.visible_window("--name", "^till$"), "the till's window")
        # Kiosk applications often ask for both.
        X.run("wmctrl", "-i", "-r", hex(till), "-b", "add,above")
        X.run("wmctrl", "-i", "-r", hex(till), "-b", "add,fullscreen")
        X.run("xdotool", "windowactivate", "--sync", str(till))
        wait_for(lambda: "FULLSCREEN" in X.run("xprop", "-id", str(till), "_NET_WM_STATE"),
                 "the till's window fullscreen")
        requests = RootRequests(X)
        self.addCleanup(requests.stop)
        X.over_ticks(folder, window, 1, lambda: None)
        asked = requests.count()

        def left_alone():
            self.assertEqual(requests.count(), asked)
            self.assertEqual(X.active_window(), till)
        X.over_ticks(folder, window, TICKS, left_alone)

        X.run("wmctrl", "-i", "-r", hex(till), "-b", "remove,fullscreen")
        X.move_over(till, window)
        X.run("xdotool", "windowraise", str(till))
        wait_for(lambda: X.lies_over(window, till), "the monitor back over the till's window")
        self.assertEqual(X.active_window(), till)


if __name__ == "__main__":
    unittest.main(verbosity=2)
