"""The monitor under focus-follows-mouse (OSTREVAN_WM of the form NAME-sloppy, see harness): a
restack that slides the monitor under the resting pointer reads as a hover to xfwm4, mutter and
metacity, which then hand it the keyboard focus. So while the pointer rests where the monitor
would come over the window the user works in, the monitor waits, and once the pointer is
elsewhere it comes back over that window, which keeps the focus throughout."""
import subprocess
import unittest

from harness import XServer, wait_for

X = None
TICKS = 20


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


class FocusFollowsMouse(unittest.TestCase):
    def test_the_users_window_keeps_the_focus_while_the_pointer_rests_over_the_monitor(self):
        folder, window = X.start_refreshed_monitor(self)
        left, top, width, _ = X.geometry(window)

        # Over the right half of the monitor and well beyond it.
        program = subprocess.Popen(["xmessage", "-title", "worksheet", "-geometry",
                                  "300x200+%d+%d" % (left + width // 2, top), "worksheet"],
                                 env=X.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (program.kill(), program.wait()))
        other = wait_for(lambda: X.visible_window("--name", "^worksheet$"), "the other window")
        X.run("wmctrl", "-i", "-r", hex(other), "-b", "add,above")

        # The pointer rests on the monitor where the other window covers it; the user brings
        # the other window up from the keyboard.
        X.run("xdotool", "mousemove", "--sync", str(left + width - 10), str(top + 100))
        X.run("xdotool", "windowactivate", "--sync", str(other))
        X.run("xdotool", "windowraise", str(other))
        wait_for(lambda: X.lies_over(other, window), "the other window over the monitor")

        def focus_stays_with_the_other_window():
            self.assertEqual(X.active_window(), other)
            self.assertNotEqual(X.input_focus(), window)
            self.assertTrue(X.lies_over(other, window), "the monitor came under the pointer")
        X.over_ticks(folder, window, TICKS, focus_stays_with_the_other_window)

        # The pointer moves on, within the other window: the monitor comes back over it.
        X.run("xdotool", "mousemove", "--sync", str(left + width + 100), str(top + 100))
        wait_for(lambda: X.lies_over(window, other), "the monitor back over the other window")
        X.over_ticks(folder, window, 1, lambda: None)
        self.assertEqual(X.active_window(), other)
        self.assertNotEqual(X.input_focus(), window)


if __name__ == "__main__":
    unittest.main(verbosity=2)
