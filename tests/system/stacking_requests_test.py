"""What the monitor asks the window manager (OSTREVAN_WM, see harness) when a window made "above"
after it covers it, where the window manager refuses the usual requests: marco refuses both
restack requests and flags the window as demanding attention; fluxbox stacks the window under the
sibling it names and refuses the sibling request; both honour the covering window's request to
go under. awesome refuses every way. With no window manager a plain restack does it. The monitor comes back over the covering window where the window manager
lets it, stops asking where it refuses every way, never leaves the attention flag set and never
takes the keyboard focus."""
import subprocess
import unittest

from harness import NO_WINDOW_MANAGER, WINDOW_MANAGER, RootRequests, XServer, wait_for

X = None
TICKS = 20
# Where no way of asking is honoured, the monitor stays under a later "above" window.
REFUSES_EVERY_WAY = {"awesome"}
# Patience enough for the monitor to find each way of asking refused, ten ticks each.
GIVING_UP_PATIENCE_S = 60


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


class StackingRequests(unittest.TestCase):
    def setUp(self):
        self.folder, self.window = X.start_refreshed_monitor(self)
        self.requests = RootRequests(X)
        self.addCleanup(self.requests.stop)

    def start_covering_window(self):
        program = subprocess.Popen(["xmessage", "-title", "worksheet", "-geometry", "300x200",
                                    "worksheet"],
                                   env=X.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (program.kill(), program.wait()))
        other = wait_for(lambda: X.visible_window("--name", "^worksheet$"), "the other window")
        # awesome places a new window beside the others.
        X.move_over(other, self.window)
        if WINDOW_MANAGER != NO_WINDOW_MANAGER:
            X.run("wmctrl", "-i", "-r", hex(other), "-b", "add,above")
            X.run("xdotool", "windowactivate", "--sync", str(other))
        X.run("xdotool", "windowraise", str(other))
        return other

    def assert_left_alone(self, other):
        """The focus stays where the user put it, and no attention flag is left on the monitor."""
        self.assertFalse(X.demands_attention(self.window))
        self.assertNotEqual(X.input_focus(), self.window)
        if WINDOW_MANAGER != NO_WINDOW_MANAGER:
            self.assertEqual(X.active_window(), other)

    @unittest.skipIf(WINDOW_MANAGER in REFUSES_EVERY_WAY, "the window manager refuses every way")
    def test_comes_back_over_a_covering_window_again_and_again(self):
        other = self.start_covering_window()
        wait_for(lambda: X.lies_over(self.window, other), "the monitor back over the other window")

        def raise_other_and_check():
            X.run("xdotool", "windowraise", str(other))
            wait_for(lambda: X.lies_over(self.window, other), "the monitor over it again")
            self.assert_left_alone(other)
        X.over_ticks(self.folder, self.window, TICKS, raise_other_and_check)

    @unittest.skipIf(WINDOW_MANAGER not in REFUSES_EVERY_WAY, "the window manager honours a way")
    def test_stops_asking_when_every_way_is_refused(self):
        other = self.start_covering_window()

        # A window manager may raise a window on request only once it has the focus.
        def raised():
            X.run("xdotool", "windowraise", str(other))
            return X.lies_over(other, self.window)
        wait_for(raised, "the other window over the monitor")
        heard = []

        def silent_for_ten_ticks():
            X.over_ticks(self.folder, self.window, 1, lambda: heard.append(self.requests.count()))
            return len(heard) > 10 and heard[-1] == heard[-11]
        wait_for(silent_for_ten_ticks, "the monitor to stop asking",
                 patience_s=GIVING_UP_PATIENCE_S)
        asked = self.requests.count()

        def nothing_asked():
            self.assertEqual(self.requests.count(), asked)
            self.assertTrue(X.lies_over(other, self.window))
            self.assert_left_alone(other)
        X.over_ticks(self.folder, self.window, TICKS, nothing_asked)


if __name__ == "__main__":
    unittest.main(verbosity=2)
