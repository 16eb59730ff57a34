"""Bad input at start, as an ordinary user meets it: a station file the monitor cannot create,
open or use. Each gives the open's failure message, "number-description", during the load; the
first refresh then ends the program in order; nothing waits forever and nothing is written.

Root reads and writes whatever it likes, so these cases must run unprivileged; run.sh
--unprivileged drops to nobody when started as root, and the suite refuses to run as root."""
import errno
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (PATIENCE_S, STATION_SCAN, XServer, install_monitor, read_boxes, read_listing,
                     wait_for)

X = None
STATION = "Brevanto.SIT"
CLOSED_FILE_FAILURE = "Run-time failure %d:\n\n%s\n\nThe monitor ends here." % (
    errno.EBADF, os.strerror(errno.EBADF))


def setUpModule():
    global X
    if os.geteuid() == 0:
        raise AssertionError("runs as root, which no permission stops: run it through "
                             "tests/system/run.sh --unprivileged")
    X = XServer()


def tearDownModule():
    X.stop()


def open_failure(number, description=None):
    return "%d-%s" % (number, description or os.strerror(number))


def not_regular(kind):
    return open_failure(errno.EINVAL, "%s is %s, not a regular file: %s" % (
        STATION, kind, os.strerror(errno.EINVAL)))


def snapshot(folder):
    """Every entry under folder with its kind, permissions, size, times and link target."""
    entries = {}
    for parent, directories, files in os.walk(folder):
        for name in [parent] + [os.path.join(parent, entry) for entry in directories + files]:
            status = os.lstat(name)
            target = os.readlink(name) if os.path.islink(name) else None
            entries[name] = (status.st_mode, status.st_size, status.st_mtime_ns,
                             status.st_ctime_ns, target)
    return entries


class BadInputAtStart(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ostrevan-bad-input-")
        self.addCleanup(self.remove_root)

    def remove_root(self):
        for parent, directories, _ in os.walk(self.root):
            for directory in directories:
                path = os.path.join(parent, directory)
                if not os.path.islink(path):
                    os.chmod(path, 0o755)
        shutil.rmtree(self.root)

    def folder(self, name="station"):
        """A folder with the monitor in it, where it looks for its station file."""
        path = os.path.join(self.root, name)
        os.mkdir(path)
        install_monitor(path)
        return path

    def station(self, folder):
        return os.path.join(folder, STATION)

    def assert_ends_in_order(self, folder, message):
        before = snapshot(folder)
        scanned = subprocess.run([STATION_SCAN, folder], capture_output=True, text=True,
                                 timeout=PATIENCE_S)
        self.assertEqual(scanned.returncode, 1)
        number, description = message.split("-", 1)
        self.assertIn("station-scan: cannot open %s: %s %s\n" % (
            self.station(folder), number, description), scanned.stderr)

        monitor = subprocess.Popen([os.path.join(folder, "prOstrevan")],
                                   env=dict(X.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"),
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: monitor.poll() is None and (monitor.kill(), monitor.wait()))
        shown = wait_for(lambda: self.box_with_text(monitor.pid), "the open's failure message")
        self.assertEqual(shown, [{"title": "prOstrevan", "text": [message]}])
        self.assertIsNotNone(read_boxes(monitor.pid, press_ok=True))

        # The first refresh finds the file closed: nothing handles that, so the program ends.
        shown = wait_for(lambda: self.box_with_text(monitor.pid, other_than=[message]),
                         "the report of the first refresh's failure")
        self.assertEqual(shown, [{"title": "prOstrevan", "text": [CLOSED_FILE_FAILURE]}])
        self.assertIsNotNone(read_boxes(monitor.pid, press_ok=True))
        self.assertEqual(monitor.wait(timeout=PATIENCE_S), 1)
        self.assertEqual(snapshot(folder), before)

    @staticmethod
    def box_with_text(pid, other_than=None):
        """The open message boxes, if there are any and the first one's text is not other_than."""
        boxes = read_boxes(pid)
        return boxes if boxes and boxes[0]["text"] != other_than else None

    def test_missing_file_in_a_folder_it_cannot_write_to(self):
        folder = self.folder()
        os.chmod(folder, 0o555)
        self.assert_ends_in_order(folder, open_failure(errno.EACCES))
        self.assertFalse(os.path.lexists(self.station(folder)))

    def test_unreadable_file(self):
        folder = self.folder()
        with open(self.station(folder), "wb") as station:
            station.write(bytes(7 * 81))
        os.chmod(self.station(folder), 0)
        self.assert_ends_in_order(folder, open_failure(errno.EACCES))

    def test_fifo(self):
        folder = self.folder()
        os.mkfifo(self.station(folder))
        self.assert_ends_in_order(folder, not_regular("a FIFO"))

    def test_directory(self):
        folder = self.folder()
        os.mkdir(self.station(folder))
        self.assert_ends_in_order(folder, not_regular("a directory"))

    def test_link_to_dev_zero(self):
        folder = self.folder()
        os.symlink("/dev/zero", self.station(folder))
        self.assert_ends_in_order(folder, not_regular("a character device"))

    def test_dangling_link_is_not_followed_to_create_its_target(self):
        folder = self.folder()
        os.symlink("gone", self.station(folder))
        self.assert_ends_in_order(folder, open_failure(errno.ENOENT))
        self.assertFalse(os.path.lexists(os.path.join(folder, "gone")))

    def test_folder_named_with_blanks_and_non_ascii_characters(self):
        name = "Caja 3 – año ñandú ü"
        folder = self.folder(name)
        os.chmod(folder, 0o555)
        self.assert_ends_in_order(folder, open_failure(errno.EACCES))

        # The same name, writable: the path reaches the file, which opens and lists.
        usable = self.folder(name + " 2")
        with open(self.station(usable), "wb") as station:
            station.write(bytes(7 * 81))
        monitor, window = X.start_monitor(self, os.path.join(usable, "prOstrevan"))
        wait_for(lambda: X.caption(window) == "7", "the caption to read 7")
        # The caption comes through X; the listing through the accessibility bus, which the
        # program may join only after its first tick.
        wait_for(lambda: read_listing(monitor.pid) == "2\t3\n4\t5\t6\n7\t8\t", "the listing")
        self.assertIsNone(read_boxes(monitor.pid))


if __name__ == "__main__":
    unittest.main(verbosity=2)
