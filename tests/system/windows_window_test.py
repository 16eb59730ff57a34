"""The Windows monitor, prOstrevan.exe, under Wine in a real X server with a real window manager
(Xvfb and openbox): it lists what station-scan.exe sees and follows the file's growth, and the
file at its path when it is deleted, replaced or renamed away, lies 137 x 426 in the window
manager's "above" layer, leaves the keyboard focus and the foreground in the window the user works
in through many ticks, and ends with status 0 when closed. Over a file
system whose reads fail (Wine turns the I/O error into a Windows one), it shows one box for the
outage without taking the focus, lists the file again by itself once reads work and closes the
box then; a box the user answers leaves the foreground to the program that had it. While a read
is held, it answers another program's messages, shows the outage, and goes when closed. And the
tools' text in a console, which Wine gives a program run under a pseudo-terminal.

The programs come from the environment (PROSTREVAN, STATION_OWNER, STATION_SCAN and READ_WINDOW,
all .exe), and the suite keeps a Wine prefix of its own, WINEPREFIX: every window of a prefix is
visible to FindWindowW."""
import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from faultfs import FaultFs
from harness import (PATIENCE_S, STATION_OWNER, STATION_SCAN, XServer, install_monitor,
                     start_wine, stop_wine, wait_for)

X = None
WINE = None
READ_WINDOW = os.environ["READ_WINDOW"]
OTHER_PROGRAM = os.environ["OTHER_PROGRAM"]


def setUpModule():
    global X, WINE
    X = XServer()
    WINE = dict(X.env, WINEDEBUG="-all")
    # One server for the whole suite. A prefix that a failed start left half-made, with no
    # registry written, is made again, rather than failing every later run.
    start_wine(WINE)


def tearDownModule():
    stop_wine(WINE)
    X.stop()


def wine(*command):
    # A guard against a hang: a start of Wine takes seconds on a busy machine.
    return subprocess.run(["wine", *command], env=WINE, capture_output=True,
                          timeout=PATIENCE_S * 3)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def start_other_window(test, title):
    other = subprocess.Popen(["xmessage", "-title", title, "-geometry", "300x200+0+0", title],
                             env=X.env, stderr=subprocess.DEVNULL)
    test.addCleanup(lambda: (other.kill(), other.wait()))
    window = wait_for(lambda: X.visible_window("--name", "^%s$" % title), "the other window")
    X.run("xdotool", "windowactivate", "--sync", str(window))
    return window


class ForegroundProgram:
    """A Win32 window, which Wine can take the foreground from as Windows would, unlike an X
    client's, brought to the foreground; it tells whether it has the foreground whenever asked."""

    def __init__(self, test):
        self.process = subprocess.Popen(["wine", OTHER_PROGRAM, "window"], env=WINE, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        test.addCleanup(lambda: (self.process.stdin.close(), self.process.wait(),
                                 self.process.stdout.close()))

    def foreground(self):
        self.process.stdin.write("?\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip() == "foreground"


def start_foreground_program(test):
    other = ForegroundProgram(test)
    wait_for(other.foreground, "the other program's window to have the foreground")
    return other


class WindowsMonitorTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="ostrevan-wine-")
        self.addCleanup(shutil.rmtree, self.folder)
        self.make_station_file()
        self.start_monitor()

    def make_station_file(self):
        self.grow(7)

    def start_monitor(self):
        executable = install_monitor(self.folder)
        os.rename(executable, executable + ".exe")
        self.monitor = subprocess.Popen(["wine", executable + ".exe"], env=WINE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: self.monitor.poll() is None and (self.monitor.kill(),
                                                                 self.monitor.wait()))
        self.window = wait_for(lambda: X.visible_window("--class", "prostrevan"),
                               "the monitor's window")
        wait_for(lambda: X.caption(self.window) == "7", "the caption to read 7")

    def grow(self, records):
        self.create("Brevanto.SIT", records)

    def create(self, name, records):
        self.assertEqual(wine(STATION_OWNER, "create", windows_path(os.path.join(self.folder, name)),
                              str(records)).returncode, 0)

    def listing(self):
        read = wine(READ_WINDOW)
        return read.stdout.decode() if read.returncode == 0 else None

    def boxes(self):
        read = wine(READ_WINDOW, "--boxes")
        return read.stdout.decode().splitlines() if read.returncode == 0 else None

    def scanned(self, folder=None):
        scan = wine(STATION_SCAN, "--json", folder or windows_path(self.folder))
        self.assertEqual(scan.returncode, 0, scan.stderr)
        return json.loads(scan.stdout)


class ListingAndCaption(WindowsMonitorTest):
    def test_lists_what_station_scan_sees_and_follows_growth(self):
        self.assertEqual(self.scanned()["listing"], "2\t3\r\n4\t5\t6\r\n7\t8\t")
        # A Unix path begins with "/", as a Windows path from the drive's root does: a folder.
        self.assertEqual(self.scanned(self.folder), self.scanned())
        wait_for(lambda: self.listing() == self.scanned()["listing"], "the listing of 7 records")
        self.assertEqual(X.geometry(self.window)[2:], (137, 426))

        self.grow(10)
        wait_for(lambda: X.caption(self.window) == "10", "the caption to follow the grown file")
        wait_for(lambda: self.listing() == self.scanned()["listing"], "the grown listing")

    def test_closing_the_window_ends_the_program(self):
        X.run("wmctrl", "-i", "-c", hex(self.window))
        self.assertEqual(self.monitor.wait(timeout=PATIENCE_S), 0)


class FollowsTheFileAtItsPath(WindowsMonitorTest):
    """The station file deleted, replaced or renamed away from the Linux side of the folder, as a
    Samba server's side or Windows 10 1903's deletes do it: the monitor lists the file now under
    the name (its record count shows it: Wine stops no read at a lock). With nothing under the
    name, one box for the missing file until one is there; the monitor never creates it."""

    def station(self):
        return os.path.join(self.folder, "Brevanto.SIT")

    def expect_twelve_records(self):
        wait_for(lambda: X.caption(self.window) == "12", "the caption of the new file")
        wait_for(lambda: self.listing() == self.scanned()["listing"], "the new file's listing")

    def test_deleted_and_created_again(self):
        os.remove(self.station())
        self.grow(12)
        self.expect_twelve_records()

    def test_a_new_file_renamed_over_the_name(self):
        self.create("Brevanto.new", 12)
        os.rename(os.path.join(self.folder, "Brevanto.new"), self.station())
        self.expect_twelve_records()
        self.assertIsNone(self.boxes())  # never without a file to list

    def test_renamed_away_and_a_new_file_created(self):
        os.rename(self.station(), self.station() + ".old")
        self.grow(12)
        self.expect_twelve_records()

    def test_deleted_with_nothing_in_its_place_then_created_again(self):
        os.remove(self.station())
        boxes = wait_for(self.boxes, "the box of the missing file")
        self.assertEqual(boxes, ["prOstrevan\t2"])  # ERROR_FILE_NOT_FOUND
        wait_for(lambda: X.caption(self.window) == "0", "the caption of a failed pass")
        self.assertEqual(self.listing(), "")
        self.assertFalse(os.path.exists(self.station()), "the monitor created it")
        self.assertEqual(self.boxes(), boxes)  # one box for the outage
        self.grow(12)
        self.expect_twelve_records()
        # The outage is over: its box goes by itself.
        wait_for(lambda: self.boxes() is None, "the box to close by itself")


class KeepTopmost(WindowsMonitorTest):
    def test_stays_above_and_leaves_the_focus_where_the_user_works(self):
        self.assertIn("_NET_WM_STATE_ABOVE",
                      X.run("xprop", "-id", str(self.window), "_NET_WM_STATE"))
        worksheet = start_other_window(self, "worksheet")

        # Every growth shows in the caption only through a tick: ten of them, with the focus
        # checked after each.
        for records in range(11, 21):
            self.grow(records)
            wait_for(lambda: X.caption(self.window) == str(records), "a tick to show growth")
            self.assertEqual(X.active_window(), worksheet)
            self.assertNotEqual(X.input_focus(), self.window)

    def test_a_windows_program_keeps_the_foreground_through_many_ticks(self):
        other = start_foreground_program(self)
        for records in range(11, 31):
            self.grow(records)
            wait_for(lambda: X.caption(self.window) == str(records), "a tick to show growth")
            self.assertTrue(other.foreground(),
                            "the monitor took the foreground at %d records" % records)


class ConsoleText(unittest.TestCase):
    """What the tools write to a console reads back as written, in any language."""

    def in_console(self, *command):
        # Wine's console writes to the terminal in the locale's character set, with cursor
        # movements in between; the text is read back without them.
        run = subprocess.run(["script", "-qec", shlex.join(["wine", *command]), "/dev/null"],
                             env=dict(WINE, LC_ALL="C.UTF-8"), stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=PATIENCE_S)
        return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", run.stdout.decode(errors="replace"))

    def test_a_folder_name_in_a_failure_message_reads_back_exactly(self):
        folder = tempfile.mkdtemp(prefix="ostrevan-console-")
        self.addCleanup(shutil.rmtree, folder)
        named = os.path.join(folder, "Caja 3 \u2013 a\u00f1o")
        os.mkdir(named)
        station = windows_path(os.path.join(named, "Brevanto.SIT"))
        self.assertIn("not a valid number: Caja 3 \u2013 a\u00f1o",
                      self.in_console(STATION_OWNER, "create", station, "Caja 3 \u2013 a\u00f1o"))

        self.assertEqual(wine(STATION_OWNER, "create", station, "7").returncode, 0)
        shown = [line.strip() for line in self.in_console(STATION_SCAN, windows_path(named))
                 .splitlines()]
        self.assertIn("caption: 7", shown)
        self.assertIn("connected: 0", shown)


class WineServer(unittest.TestCase):
    """The Wine suites run under one server: one that came and went with its programs restarted
    Wine's background programs for every test, and now and then a program failed to start."""

    def test_a_new_prefix_gets_a_server_that_outlives_its_programs(self):
        prefix = tempfile.mkdtemp(prefix="ostrevan-wine-")
        self.addCleanup(shutil.rmtree, prefix)
        env = dict(WINE, WINEPREFIX=prefix)
        self.addCleanup(stop_wine, env)
        start_wine(env)
        # With no program of the prefix left, a server that ends with its programs ends now.
        waited = subprocess.run(["timeout", "5", "wineserver", "-w"], env=env)
        self.assertEqual(waited.returncode, 124, "the server ended with its programs")


class FailingReads(WindowsMonitorTest):
    """Brevanto.SIT is a link into a FUSE mount whose reads fail on demand; the programs lie on an
    ordinary disk."""

    def make_station_file(self):
        backing = os.path.join(self.folder, "backing")
        mount = os.path.join(self.folder, "mount")
        os.mkdir(backing)
        os.mkdir(mount)
        self.fs = FaultFs(backing, mount, os.path.join(self.folder, "control"))
        self.fs.__enter__()
        self.addCleanup(self.fs.__exit__)
        os.symlink(os.path.join(mount, "Brevanto.SIT"), os.path.join(self.folder, "Brevanto.SIT"))
        self.grow(7)

    def test_one_box_per_outage_without_the_focus_and_the_listing_back_by_itself(self):
        till = start_other_window(self, "till")
        self.fs.fail_reads("EIO")
        boxes = wait_for(self.boxes, "the box of the failed read")
        self.assertEqual(len(boxes), 1, boxes)
        self.assertRegex(boxes[0], re.compile(r"^prOstrevan\t\d+$"))
        wait_for(lambda: X.caption(self.window) == "0", "the failed pass in the caption")
        time.sleep(1)  # ten ticks of failing reads: the window answers, and no second box
        self.assertEqual(self.boxes(), boxes)
        self.assertEqual(self.listing(), "")
        self.assertEqual(X.active_window(), till)
        # A barcode scanner's Enter meant for the till neither lands in the box nor answers it:
        # typed where the keyboard focus is (XTEST), as the scanner's keys come.
        X.run("xdotool", "type", "4711\n")
        self.assertEqual(X.active_window(), till)
        self.assertEqual(self.boxes(), boxes)

        self.fs.heal()
        wait_for(lambda: X.caption(self.window) == "7", "the caption back at 7")
        wait_for(lambda: self.listing() == "2\t3\r\n4\t5\t6\r\n7\t8\t", "the listing back")
        self.assertIsNone(self.monitor.poll())
        # The outage is over, and its box goes by itself.
        wait_for(lambda: self.boxes() is None, "the box to close by itself")
        self.assertEqual(X.active_window(), till)

    def test_a_box_answered_with_a_click_goes_and_the_next_outage_brings_a_new_one(self):
        # A Win32 window, which Wine activates and deactivates as Windows would: a till's
        # application in the foreground.
        other = start_foreground_program(self)
        self.fs.fail_reads("EIO")
        wait_for(self.boxes, "the box of the failed read")
        self.assertTrue(other.foreground(), "the box took the foreground as it appeared")

        # A click on OK, through the X server, answers the box. Where the foreground goes then is
        # asserted by the window tests, through Wine's own input: here the window manager's
        # activation of the box may come after the click has closed it, and the foreground then
        # goes where the window manager falls back to. Where that activation comes between the
        # press and the release, the button lets go of the press: a hand clicks again, on the box
        # where it is now.
        def clicked_away():
            box = X.visible_window("--name", "^prOstrevan$")
            if box:
                left, top, width, height = X.geometry(box)
                X.run("xdotool", "mousemove", str(left + width // 2),
                      str(top + height * 43 // 58), "click", "1")
            return self.boxes() is None
        wait_for(clicked_away, "the box to go")
        # A new outage brings a new box.
        self.fs.heal()
        wait_for(lambda: X.caption(self.window) == "7", "the caption back at 7")
        self.fs.fail_reads("EIO")
        wait_for(self.boxes, "the box of the next outage")


    def answers_another_program(self):
        """Whether the window answers WM_NULL sent from another program as Windows asks whether
        a window hangs (SendMessageTimeoutW with SMTO_ABORTIFHUNG, 1000 ms)."""
        return wine(OTHER_PROGRAM, "ask").returncode == 0

    def test_answers_and_shows_the_outage_while_a_read_is_held_and_lists_again_once_it_answers(
            self):
        till = start_other_window(self, "till")
        self.fs.hold_reads()
        # Let go before the monitor is ended, whose end waits for the read.
        self.addCleanup(self.fs.heal)
        wait_for(self.fs.held_reads, "a read of the monitor's to be held")
        wait_for(self.answers_another_program,
                 "the window to answer another program while its read is held")
        self.assertTrue(self.fs.held_reads(), "the read was let go meanwhile")
        # The outage, with Windows' time-out error (ERROR_SEM_TIMEOUT), and nothing listed as if
        # current.
        boxes = wait_for(self.boxes, "the box of the held read", PATIENCE_S * 3)
        self.assertEqual(boxes, ["prOstrevan\t121"])
        wait_for(lambda: X.caption(self.window) == "0", "the caption 0 of the outage")
        self.assertEqual(self.listing(), "")
        self.assertEqual(X.active_window(), till)
        wait_for(self.answers_another_program, "the window to answer with its box up")
        self.assertTrue(self.fs.held_reads(), "the read was let go meanwhile")

        self.fs.heal()
        wait_for(lambda: X.caption(self.window) == "7", "the caption back at 7")
        wait_for(lambda: self.listing() == "2\t3\r\n4\t5\t6\r\n7\t8\t", "the listing back")
        wait_for(lambda: self.boxes() is None, "the box to close by itself")
        self.assertIsNone(self.monitor.poll())

    def test_closing_takes_the_window_away_while_a_read_is_held(self):
        self.fs.hold_reads()
        self.addCleanup(self.fs.heal)
        wait_for(self.fs.held_reads, "a read of the monitor's to be held")
        X.run("wmctrl", "-i", "-c", hex(self.window))
        wait_for(lambda: not X.viewable(self.window), "the window to go off the screen")
        self.assertTrue(self.fs.held_reads(), "the read was let go meanwhile")
        # Wine cannot end a thread in a held read: the process ends once the read is let go.
        self.fs.heal()
        self.assertEqual(self.monitor.wait(timeout=PATIENCE_S * 3), 0)


class HeldReads(unittest.TestCase):
    """station-scan.exe --check over a share whose reads are held: the watcher answers for the
    pass with Windows' time-out error. Wine cannot end a thread stuck in a held read, so the
    process itself ends only once reads answer (Windows ends it at once)."""

    def test_a_held_read_is_critical_with_the_semaphore_time_out(self):
        root = tempfile.mkdtemp(prefix="ostrevan-held-")
        self.addCleanup(shutil.rmtree, root)
        backing, mount, folder = (os.path.join(root, name) for name in ("backing", "mount",
                                                                          "folder"))
        for path in (backing, mount, folder):
            os.mkdir(path)
        fs = FaultFs(backing, mount, os.path.join(root, "control"))
        fs.__enter__()
        self.addCleanup(fs.__exit__)
        self.assertEqual(wine(STATION_OWNER, "create",
                              windows_path(os.path.join(backing, "Brevanto.SIT")), "7").returncode,
                         0)
        os.symlink(os.path.join(mount, "Brevanto.SIT"), os.path.join(folder, "Brevanto.SIT"))
        fs.hold_reads()
        self.addCleanup(fs.heal)
        scan = subprocess.Popen(["wine", STATION_SCAN, "--check", windows_path(folder)], env=WINE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(scan.stdout.close)
        status_line = []
        reader = threading.Thread(target=lambda: status_line.append(scan.stdout.readline()),
                                  daemon=True)
        reader.start()
        wait_for(lambda: status_line, "the status line while reads are held", PATIENCE_S * 3)
        self.assertRegex(status_line[0], r"^STATIONS CRITICAL - no answer from the (open|read of "
                         r"record 2) of Z:\\.*\\Brevanto\.SIT in 5 s: 121 \S")
        fs.heal()
        self.assertEqual(scan.wait(timeout=PATIENCE_S), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
