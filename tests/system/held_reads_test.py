"""The monitor over a share that stopped answering (a FUSE file system of the tests' own whose
reads are held, or whose server is stopped), in a real X server with a window manager
(OSTREVAN_WM, see harness): while a call into the share is still held, the window answers the
window manager's ping, shows the outage in one box without taking the focus, with an empty listing
and the caption 0, and goes off the screen when asked to close; the process ends once the read is
let go. Once the share answers again, the listing comes back without a restart and the box goes."""
import errno
import os
import select
import time
import unittest

from Xlib import X as XCONST
from Xlib import Xatom, display, protocol

import failing_reads_test as failing
from failing_reads_test import SEVEN
from harness import PATIENCE_S, read_boxes, wait_for

X = None


def setUpModule():
    global X
    failing.setUpModule()
    X = failing.X
    # The X library finds the authority (that of an Xwayland) in this process's environment.
    if "XAUTHORITY" in X.env:
        os.environ["XAUTHORITY"] = X.env["XAUTHORITY"]


def tearDownModule():
    failing.tearDownModule()


class AsTheWindowManager:
    """What a window manager sends a client (a ping, a close request) and hears back from it: the
    client answers a ping on the root window, so the root window's structure events are heard."""

    def __init__(self, display_name):
        self.display = display.Display(display_name)
        self.root = self.display.screen().root
        self.root.change_attributes(event_mask=XCONST.StructureNotifyMask |
                                    XCONST.SubstructureNotifyMask)
        # A window of our own, whose property changes give the X server's time.
        self.clock = self.root.create_window(0, 0, 1, 1, 0, XCONST.CopyFromParent,
                                             event_mask=XCONST.PropertyChangeMask)
        self.protocols = self.display.intern_atom("WM_PROTOCOLS")
        self.ping_atom = self.display.intern_atom("_NET_WM_PING")
        self.delete_atom = self.display.intern_atom("WM_DELETE_WINDOW")

    def close(self):
        self.display.close()

    def events(self, patience_s):
        """The events that arrive until the patience runs out."""
        deadline = time.monotonic() + patience_s
        while True:
            while self.display.pending_events():
                yield self.display.next_event()
            left = deadline - time.monotonic()
            if left <= 0:
                return
            select.select([self.display.fileno()], [], [], left)

    def now(self):
        self.clock.change_property(Xatom.WM_NAME, Xatom.STRING, 8, b"clock")
        self.display.flush()
        for event in self.events(PATIENCE_S):
            if event.type == XCONST.PropertyNotify and event.window == self.clock:
                return event.time
        raise AssertionError("the X server did not report a property change")

    def protocols_of(self, window):
        return self.display.create_resource_object("window", window).get_wm_protocols()

    def send_protocol(self, window, atom, timestamp):
        target = self.display.create_resource_object("window", window)
        message = protocol.event.ClientMessage(
            window=target, client_type=self.protocols,
            data=(32, [atom, timestamp, window, 0, 0]))
        target.send_event(message, event_mask=0)
        self.display.flush()

    def ping_answered(self, window):
        """Whether the client answers a ping within the patience."""
        timestamp = self.now()
        self.send_protocol(window, self.ping_atom, timestamp)
        for event in self.events(PATIENCE_S):
            if (event.type == XCONST.ClientMessage and event.client_type == self.protocols
                    and list(event.data[1][:3]) == [self.ping_atom, timestamp, window]):
                return True
        return False

    def ask_to_close(self, window):
        self.send_protocol(window, self.delete_atom, self.now())


class HeldShare(failing.MonitorOnAFailingFileSystem):
    def setUp(self):
        super().setUp()
        self.window_manager = AsTheWindowManager(X.display)
        self.addCleanup(self.window_manager.close)
        self.assertIn(self.window_manager.ping_atom,
                      self.window_manager.protocols_of(self.window))

    def hold_reads(self):
        """Holds the share's reads until the test ends (let go before the monitor is ended, which
        would wait for them), and waits until a read of the monitor's is held."""
        self.fs.hold_reads()
        self.addCleanup(self.fs.heal)
        wait_for(self.fs.held_reads, "a read of the monitor's to be held")

    def assert_answers_while_the_read_is_held(self):
        self.assertTrue(self.window_manager.ping_answered(self.window),
                        "the window did not answer the window manager's ping")
        self.assertTrue(self.fs.held_reads(), "the read was let go meanwhile")

    def assert_outage_shown(self):
        """One box with the time-out's number, without the focus, and nothing listed as if
        current."""
        # The box comes at the time-out, 5 s after the held call began.
        boxes = wait_for(lambda: read_boxes(self.monitor.pid), "the box of the outage",
                         PATIENCE_S * 3)
        self.assertEqual(boxes, [{"title": "prOstrevan", "text": [str(errno.ETIMEDOUT)]}])
        self.wait_for_listing("", "0")
        self.assertEqual(X.active_window(), self.other)

    def test_answers_and_shows_the_outage_while_a_read_is_held_and_lists_again_once_it_answers(
            self):
        self.hold_reads()
        self.assert_answers_while_the_read_is_held()
        self.assert_outage_shown()
        self.assert_answers_while_the_read_is_held()

        self.fs.heal()
        self.wait_for_listing(SEVEN, "7")
        wait_for(lambda: read_boxes(self.monitor.pid) is None, "the box to close by itself")
        self.assertEqual(X.active_window(), self.other)
        self.assertIsNone(self.monitor.poll())

    def test_a_close_request_takes_the_window_away_while_a_read_is_held(self):
        self.hold_reads()
        self.window_manager.ask_to_close(self.window)
        wait_for(lambda: not X.viewable(self.window), "the window to go off the screen")
        self.assertTrue(self.fs.held_reads(), "the read was let go meanwhile")
        # The process's end waits in the kernel for the held read, which nothing can interrupt
        # on this file system; once it is let go, the program ends as closed.
        self.fs.heal()
        self.assertEqual(self.monitor.wait(timeout=PATIENCE_S * 3), 0)

    def test_a_server_that_stopped_answering_is_an_outage_and_the_window_answers_through_it(self):
        # Every call into the mount waits: the open and the check of the file at its path too.
        self.fs.hang()
        self.addCleanup(self.fs.answer)
        self.assert_outage_shown()
        self.assertTrue(self.window_manager.ping_answered(self.window),
                        "the window did not answer the window manager's ping")

        self.fs.answer()
        self.wait_for_listing(SEVEN, "7")
        wait_for(lambda: read_boxes(self.monitor.pid) is None, "the box to close by itself")
        self.assertIsNone(self.monitor.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
