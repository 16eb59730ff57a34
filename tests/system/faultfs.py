"""A file system of the tests' own whose reads fail, or hang, on demand.

A FUSE passthrough of a backing folder, with direct I/O so that every read reaches the server
rather than the page cache. While the control file exists and names an errno (EIO, ESTALE, ...),
every read fails with that error, as a failing disk or a dropped share does; remove it and reads
work again. While it says HOLD, every read waits, as on a share that stopped answering; a read
that the kernel has handed to the server then waits for it even through SIGKILL; the server
counts the reads it holds, so that a test knows one is waiting. While it also says HOLD-OPENS,
an open opens the file, then waits to answer, counted the same way: a test can change what the
name holds while an open is on its way back. A stopped server (SIGSTOP) is a
mount that stops answering, as a dead sshfs or a hard NFS mount: every call into it waits.

As a program: faultfs.py BACKING MOUNTPOINT CONTROL_FILE (prints "ready" once mounted; runs until
unmounted). From Python: `with FaultFs(backing, mountpoint, control) as fs: ...`. Needs root
(or /dev/fuse and fusermount for the user) and Debian's python3-fusepy.
"""

import errno
import os
import signal
import subprocess
import sys
import threading
import time


class FaultFs:
    """The file system as a child process; unmounted, even when stopped, on leaving."""

    def __init__(self, backing, mountpoint, control):
        self.backing, self.mountpoint, self.control = backing, mountpoint, control
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.abspath(__file__), self.backing, self.mountpoint,
             self.control], stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.process.wait(10)
            raise RuntimeError("faultfs did not mount %s" % self.mountpoint)
        return self

    def fail_reads(self, error_name="EIO", hold_opens=False):
        # Whole at once: a read between the file's creation and its write would find it empty
        # and fail with another number than the one asked for.
        staging = self.control + ".new"
        with open(staging, "w") as control:
            control.write(error_name + (" HOLD-OPENS" if hold_opens else ""))
        os.replace(staging, self.control)

    def hold_reads(self):
        self.fail_reads("HOLD")

    def held_reads(self):
        """How many reads the server holds now."""
        return read_count(held_file(self.control, "reads"))

    def held_opens(self):
        """How many opens the server holds the answer of now."""
        return read_count(held_file(self.control, "opens"))

    def heal(self):
        if os.path.exists(self.control):
            os.unlink(self.control)

    def hang(self):
        self.process.send_signal(signal.SIGSTOP)

    def answer(self):
        self.process.send_signal(signal.SIGCONT)

    def __exit__(self, *exc):
        self.answer()
        self.heal()
        # Lazy: a program still holding a file there must not keep the mount, or the test, alive.
        subprocess.run(["umount", "-l", self.mountpoint], stderr=subprocess.DEVNULL, check=False)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def held_file(control, calls):
    return "%s.held-%s" % (control, calls)


def read_count(path):
    try:
        with open(path) as count:
            return int(count.read())
    except FileNotFoundError:
        return 0


def serve(backing, mountpoint, control):
    from fusepy import FUSE, FuseOSError, Operations

    held = {"reads": 0, "opens": 0}
    counting = threading.Lock()

    def count_held(calls, change):
        # Whole at once, as the control file: a test never reads a count half-written.
        with counting:
            held[calls] += change
            path = held_file(control, calls)
            with open(path + ".new", "w") as count:
                count.write(str(held[calls]))
            os.replace(path + ".new", path)

    def control_words():
        """What the control file says, or None while there is none."""
        try:
            with open(control) as failing:
                return failing.read().split()
        except FileNotFoundError:
            return None

    def hold_while(calls, still):
        holding = False
        try:
            while still():
                if not holding:
                    holding = True
                    count_held(calls, 1)
                time.sleep(0.05)
        finally:
            if holding:
                count_held(calls, -1)

    class Passthrough(Operations):
        def _path(self, path):
            return os.path.join(backing, path.lstrip("/"))

        def init(self, path):
            print("ready", flush=True)

        def getattr(self, path, fh=None):
            st = os.lstat(self._path(path))
            return {key: getattr(st, key) for key in (
                "st_atime", "st_ctime", "st_mtime", "st_gid", "st_uid", "st_mode", "st_nlink",
                "st_size", "st_ino")}

        def readdir(self, path, fh):
            return [".", ".."] + os.listdir(self._path(path))

        def statfs(self, path):
            st = os.statvfs(self._path(path))
            return {key: getattr(st, key) for key in (
                "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
                "f_flag", "f_frsize", "f_namemax")}

        def open(self, path, flags):
            fd = os.open(self._path(path), flags)
            hold_while("opens", lambda: "HOLD-OPENS" in (control_words() or []))
            return fd

        def create(self, path, mode, fi=None):
            return os.open(self._path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

        def read(self, path, size, offset, fh):
            def fault():
                words = control_words()
                return None if words is None else (words or ["EIO"])[0]
            hold_while("reads", lambda: fault() == "HOLD")
            name = fault()
            if name is None:
                return os.pread(fh, size, offset)
            raise FuseOSError(getattr(errno, name))

        def write(self, path, data, offset, fh):
            return os.pwrite(fh, data, offset)

        def truncate(self, path, length, fh=None):
            os.truncate(self._path(path), length)

        def unlink(self, path):
            os.unlink(self._path(path))

        def rename(self, old, new):
            os.rename(self._path(old), self._path(new))

        def chmod(self, path, mode):
            os.chmod(self._path(path), mode)

        def utimens(self, path, times=None):
            os.utime(self._path(path), times)

        def flush(self, path, fh):
            return 0

        def fsync(self, path, datasync, fh):
            os.fsync(fh)

        def release(self, path, fh):
            os.close(fh)

    # No lock handlers: the kernel keeps the mount's locks itself, as for a local file. Nothing
    # cached either: a stat, too, must reach the server, so that a stopped one holds it.
    FUSE(Passthrough(), mountpoint, foreground=True, direct_io=True, use_ino=True,
         allow_other=True, attr_timeout=0, entry_timeout=0, negative_timeout=0)


if __name__ == "__main__":
    serve(*sys.argv[1:4])
