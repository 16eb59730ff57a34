"""A station file on a file system whose reads fail (a FUSE file system of the tests' own, as a
failing disk or a dropped share): station-scan reports the failure and ends, and the monitor,
in a real X server with a window manager, shows one box for the outage without taking the focus,
keeps answering, and lists the file again by itself once reads work, without a restart, closing
the box then."""
import errno
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from faultfs import FaultFs
from harness import (PATIENCE_S, STATION_OWNER, STATION_SCAN, XServer, as_read_back,
                     install_monitor, read_boxes, read_listing, wait_for)

X = None
SEVEN = "2\t3\r\n4\t5\t6\r\n7\t8\t"
TWELVE = "2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10\t11\t12\r\n13\t"


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


class OnAFailingFileSystem(unittest.TestCase):
    """A folder whose Brevanto.SIT is a link into the failing mount, so that the programs beside
    it run from an ordinary disk."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ostrevan-failing-")
        self.addCleanup(shutil.rmtree, self.root)
        self.backing = os.path.join(self.root, "backing")
        mount = os.path.join(self.root, "mount")
        self.folder = os.path.join(self.root, "folder")
        for path in (self.backing, mount, self.folder):
            os.mkdir(path)
        self.create(7)
        self.fs = FaultFs(self.backing, mount, os.path.join(self.root, "control"))
        self.fs.__enter__()
        self.addCleanup(self.fs.__exit__)
        os.symlink(os.path.join(mount, "Brevanto.SIT"), os.path.join(self.folder, "Brevanto.SIT"))

    def create(self, records, name="Brevanto.SIT"):
        subprocess.run([STATION_OWNER, "create", os.path.join(self.backing, name), str(records)],
                       check=True)

    def scan(self):
        return subprocess.run([STATION_SCAN, "--json", self.folder], capture_output=True,
                              text=True, timeout=PATIENCE_S)


class StationScan(OnAFailingFileSystem):
    def test_a_failing_read_ends_the_pass_with_status_one_and_marks_nothing(self):
        self.assertEqual(json.loads(self.scan().stdout)["listing"], SEVEN)
        self.fs.fail_reads("EIO")
        run = self.scan()
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, "station-scan: the pass over %s stopped: %d %s\n" % (
            os.path.join(self.folder, "Brevanto.SIT"), errno.EIO, os.strerror(errno.EIO)))
        self.assertEqual(json.loads(run.stdout),
                         {"listing": "", "connected": 0, "lastFree": 0})
        self.fs.heal()
        self.assertEqual(json.loads(self.scan().stdout)["listing"], SEVEN)

    def test_the_probes_call_a_failing_read_critical_and_down(self):
        self.fs.fail_reads("EIO")
        check = subprocess.run([STATION_SCAN, "--check", self.folder], capture_output=True,
                               text=True, timeout=PATIENCE_S)
        self.assertEqual(check.returncode, 2, check.stdout)
        self.assertRegex(check.stdout.splitlines()[0],
                         r"^STATIONS CRITICAL - .*\b%d\b.*%s" % (errno.EIO, os.strerror(errno.EIO)))
        # Nothing counted part-way reaches the engine: no performance data to store.
        self.assertNotIn("|", check.stdout)
        before = time.time()
        metrics = subprocess.run([STATION_SCAN, "--prometheus", self.folder], capture_output=True,
                                 text=True, timeout=PATIENCE_S)
        self.assertEqual(metrics.returncode, 1)
        samples = dict(line.split("{")[0:1] + line.rsplit(" ", 1)[1:]
                       for line in metrics.stdout.splitlines() if not line.startswith("#"))
        # Up 0, and when: a timer that stops after a failure leaves a time that grows old.
        self.assertEqual(sorted(samples), ["prostrevan_build_info",
                                           "prostrevan_scan_timestamp_seconds", "prostrevan_up"])
        self.assertEqual(samples["prostrevan_up"], "0")
        self.assertGreaterEqual(float(samples["prostrevan_scan_timestamp_seconds"]), before - 1)

    def scan_processes(self):
        """The station-scan processes still running over this test's folder."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                    words = cmdline.read().split(b"\0")
            except OSError:
                continue
            if os.fsencode(STATION_SCAN) in words and os.fsencode(self.folder) in words:
                found.append(int(pid))
        return found

    def run_while_unanswered(self, *arguments):
        """station-scan's status, output and errors, once its pipes close, while the share does
        not answer. One that waits with the share is failed, after the share answers again (a
        process waiting in a held read cannot be ended before)."""
        scan = subprocess.Popen([STATION_SCAN, *arguments], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            output, errors = scan.communicate(timeout=PATIENCE_S * 3)
        except subprocess.TimeoutExpired:
            self.fs.answer()
            self.fs.heal()
            scan.kill()
            scan.communicate()
            self.fail("station-scan waited for a share that did not answer")
        return scan.returncode, output, errors

    def test_a_held_read_is_critical_after_five_seconds_and_the_pipe_closes(self):
        self.fs.hold_reads()
        self.addCleanup(self.fs.heal)
        self.assertEqual(self.run_while_unanswered("--check", self.folder), (
            2, "STATIONS CRITICAL - no answer from the read of record 2 of %s/Brevanto.SIT in "
            "5 s: %d %s\n" % (self.folder, errno.ETIMEDOUT, os.strerror(errno.ETIMEDOUT)), ""))
        # The pass itself still waits on the read, which nothing can end: only it is left, and
        # it ends once the share answers.
        self.assertEqual(len(self.scan_processes()), 1)
        self.fs.heal()
        wait_for(lambda: not self.scan_processes(), "the abandoned pass to end")
        self.assertEqual(json.loads(self.scan().stdout)["listing"], SEVEN)

    def test_a_server_that_stopped_answering_is_prostrevan_up_zero_at_the_time_out(self):
        self.fs.hang()
        self.addCleanup(self.fs.answer)
        metrics = os.path.join(self.root, "prostrevan.prom")
        self.assertEqual(self.run_while_unanswered("--prometheus", "-t", "2", "--output", metrics,
                                                   self.folder), (
            1, "", "station-scan: no answer from the open of %s/Brevanto.SIT in the time-out of "
            "2 s: %d %s\n" % (self.folder, errno.ETIMEDOUT, os.strerror(errno.ETIMEDOUT))))
        with open(metrics) as written:
            samples = [line for line in written.read().splitlines() if not line.startswith("#")]
        self.assertEqual([line.split("{")[0] for line in samples],
                         ["prostrevan_up", "prostrevan_build_info",
                          "prostrevan_scan_timestamp_seconds"])
        self.assertTrue(samples[0].endswith(" 0"), samples)


class MonitorOnAFailingFileSystem(OnAFailingFileSystem):
    """The monitor over that folder, listing its seven records, while the user works in another
    application."""

    def setUp(self):
        super().setUp()
        self.monitor, self.window = X.start_monitor(self, install_monitor(self.folder))
        self.wait_for_listing(SEVEN, "7")
        # The user last clicked the monitor (so the window manager would let a new window of it
        # take the focus), and now works in another application, which has the keyboard focus.
        X.run("xdotool", "mousemove", "--window", str(self.window), "60", "12", "click", "1")
        other = subprocess.Popen(["xmessage", "-title", "till", "-geometry", "300x200+0+0",
                                  "till"], env=X.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (other.kill(), other.wait()))
        self.other = wait_for(lambda: X.visible_window("--name", "^till$"), "the other window")
        X.run("xdotool", "windowactivate", "--sync", str(self.other))

    def wait_for_listing(self, listing, caption):
        wait_for(lambda: X.caption(self.window) == caption and
                 read_listing(self.monitor.pid) == as_read_back(listing),
                 "the caption %s and the listing %r" % (caption, listing))

    def wait_for_box(self, number):
        boxes = wait_for(lambda: read_boxes(self.monitor.pid), "the box of the failure")
        self.assertEqual(boxes, [{"title": "prOstrevan", "text": [str(number)]}])


class Monitor(MonitorOnAFailingFileSystem):
    def test_one_box_per_outage_without_the_focus_and_the_listing_back_by_itself(self):
        self.fs.fail_reads("EIO")
        self.wait_for_box(errno.EIO)
        # Reads go on failing through many ticks: the window answers (the screen reader's calls
        # go through its event loop), shows the pass that failed, and shows no second box.
        self.wait_for_listing("", "0")
        time.sleep(1)
        self.assertEqual(read_boxes(self.monitor.pid),
                         [{"title": "prOstrevan", "text": [str(errno.EIO)]}])
        self.assertEqual(X.active_window(), self.other)
        # The box tells every window manager not to activate it when it appears (a user time of
        # 0, on the window that Qt keeps it on where the window manager allows one): openbox
        # keeps the focus in the other window anyway, others need telling.
        box = wait_for(lambda: X.visible_window("--name", "^prOstrevan$"), "the box on the screen")
        user_time_window = re.search(r"window id # (0x[0-9a-f]+)", X.run(
            "xprop", "-id", str(box), "_NET_WM_USER_TIME_WINDOW"))
        if user_time_window:
            box = int(user_time_window.group(1), 16)
        self.assertRegex(X.run("xprop", "-id", str(box), "_NET_WM_USER_TIME"), r"= 0\n")
        # What is typed goes where the keyboard focus is (XTEST, as a barcode scanner's keys do):
        # it stays in the other application, and the box is not answered by its Enter.
        X.run("xdotool", "type", "4711\n")
        self.assertEqual(X.active_window(), self.other)
        self.assertEqual(read_boxes(self.monitor.pid),
                         [{"title": "prOstrevan", "text": [str(errno.EIO)]}])

        self.fs.heal()
        self.wait_for_listing(SEVEN, "7")
        self.assertIsNone(self.monitor.poll())
        # The outage is over, and its box goes by itself: whoever looks later sees no failure
        # that is no more.
        wait_for(lambda: read_boxes(self.monitor.pid) is None, "the box to close by itself")
        self.assertEqual(X.active_window(), self.other)

        # A second outage is a new box. Answered while the outage lasts, it goes; the outage's
        # end then closes nothing more.
        self.fs.fail_reads("EIO")
        self.wait_for_box(errno.EIO)
        read_boxes(self.monitor.pid, press_ok=True)
        wait_for(lambda: read_boxes(self.monitor.pid) is None, "the box to close")
        self.fs.heal()
        self.wait_for_listing(SEVEN, "7")
        self.assertIsNone(self.monitor.poll())

    def test_a_stale_handle_is_opened_again_and_finds_the_file_now_under_the_name(self):
        # The handle goes stale first; the file is replaced while it is. (Replaced first, the
        # FUSE mount, which caches nothing, could find its inode changed under the open handle
        # and fail the next read with EIO of its own: a box all the same, with another number.)
        self.fs.fail_reads("ESTALE")
        self.wait_for_box(errno.ESTALE)
        self.create(12, "Brevanto.SIT.new")
        os.rename(os.path.join(self.backing, "Brevanto.SIT.new"),
                  os.path.join(self.backing, "Brevanto.SIT"))
        self.fs.heal()
        self.wait_for_listing(TWELVE, "12")
        self.assertEqual(X.active_window(), self.other)
        self.assertIsNone(self.monitor.poll())

    def test_a_file_renamed_over_the_name_while_the_open_is_answered_is_opened_again(self):
        # This server, as sshfs, knows files only by their names: asked about an open file, it
        # answers with the file under the name now. The stale handle's new open gets the file
        # from before, and while its answer is on the way back another is renamed over the name.
        self.fs.fail_reads("ESTALE", hold_opens=True)
        self.wait_for_box(errno.ESTALE)
        wait_for(self.fs.held_opens, "the monitor's open to be held")
        self.create(12, "Brevanto.SIT.new")
        os.rename(os.path.join(self.backing, "Brevanto.SIT.new"),
                  os.path.join(self.backing, "Brevanto.SIT"))
        self.fs.heal()
        self.wait_for_listing(TWELVE, "12")
        self.assertIsNone(self.monitor.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
