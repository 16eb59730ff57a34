"""What the system tests share: a private X server with a window manager, the monitor running in
it, what a screen reader reads of it, and a folder whose station file station-owner keeps.

The programs come from the environment: PROSTREVAN, STATION_OWNER and STATION_SCAN. The tests run
under dbus-run-session, so that the accessibility bus is their own. OSTREVAN_WM names the window
manager (a key of WINDOW_MANAGERS, or WAYLAND_SESSION); openbox when it is not set.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROSTREVAN = os.environ["PROSTREVAN"]
STATION_OWNER = os.environ["STATION_OWNER"]
STATION_SCAN = os.environ["STATION_SCAN"]

# A guard against hanging, not a measure of speed: every wait ends as soon as it can.
PATIENCE_S = 10
SANITIZED = os.environ.get("OSTREVAN_SANITIZED") == "1"

AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# The checkout may lie in a home folder that other users cannot enter (mode 0700, as Debian makes
# them, root's included): what runs as another user runs from copies in an open folder.
CHECKOUT = os.path.realpath(os.path.join(HERE, "..", ".."))


def runnable_by_another_user(command):
    """The command, once every path it names after setpriv lies outside the checkout, in folders
    that any user may enter (the checkout fails even where it is open, as it is not everywhere)."""
    if "setpriv" in command:
        for argument in command[command.index("setpriv"):]:
            path = os.path.realpath(str(argument))
            if not os.path.exists(path):
                continue
            folders = [os.path.dirname(path)]
            while folders[-1] != "/":
                folders.append(os.path.dirname(folders[-1]))
            if (os.path.commonpath([path, CHECKOUT]) == CHECKOUT
                    or any(not os.stat(folder).st_mode & 0o001 for folder in folders)):
                raise AssertionError(f"another user cannot be expected to reach {argument}")
    return list(command)

# The window managers that Linux desktops ship, each as its desktop runs it, without compositing
# where it can do without (mutter cannot; it composites on the software renderer).
WINDOW_MANAGERS = {
    "openbox": ["openbox", "--sm-disable"],
    "xfwm4": ["xfwm4", "--compositor=off"],
    "metacity": ["metacity", "--no-composite"],
    "mutter": ["mutter", "--x11", "--replace"],
    "icewm": ["icewm"],
}
# GNOME's default session: mutter as the Wayland compositor, the monitor on its Xwayland.
WAYLAND_SESSION = "mutter-wayland"
WINDOW_MANAGER = os.environ.get("OSTREVAN_WM", "openbox")


def wait_for(condition, what, patience_s=PATIENCE_S):
    deadline = time.monotonic() + patience_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.02)


class XServer:
    """A private X server on a free display, managed by the window manager that OSTREVAN_WM
    names, with the accessibility bus up: Xvfb, or the Xwayland of a headless Wayland session."""

    def __init__(self):
        if WINDOW_MANAGER == WAYLAND_SESSION:
            self.start_wayland_session()
        else:
            self.start()
        # The monitor looks for the accessibility bus when it starts; asking for it starts it.
        read_listing(0)

    def start(self):
        self.said = tempfile.TemporaryFile(mode="w+")
        readable, writable = os.pipe()
        # -noreset: by default the server resets when its last client leaves, and a client that
        # connects meanwhile is cut off. The first xprop below, run before openbox connects, was
        # such a last client, and openbox then failed to open the display.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writable), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(writable,), stdout=self.said, stderr=subprocess.STDOUT)
        os.close(writable)
        with os.fdopen(readable) as announced:
            self.display = ":" + announced.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.window_manager = subprocess.Popen(WINDOW_MANAGERS[WINDOW_MANAGER], env=self.env,
                                               stdout=self.said, stderr=subprocess.STDOUT)
        self.wait_until_managed()

    def start_wayland_session(self):
        """mutter as a headless Wayland compositor; its Xwayland names its display in the log."""
        self.said = tempfile.NamedTemporaryFile(mode="w+")
        env = dict(os.environ)
        for name in ("DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        self.xvfb = None
        self.window_manager = subprocess.Popen(
            ["mutter", "--wayland", "--headless", "--virtual-monitor", "1024x768"], env=env,
            stdout=self.said, stderr=subprocess.STDOUT)
        self.display = ":" + wait_for(self.xwayland_display, "mutter to start Xwayland")
        runtime = os.environ["XDG_RUNTIME_DIR"]
        authority = wait_for(lambda: glob.glob(os.path.join(runtime, ".mutter-Xwaylandauth.*")),
                             "Xwayland's authority file")[0]
        self.env = dict(env, DISPLAY=self.display, XAUTHORITY=authority)
        # The accessibility bus, started on demand by the session bus, sets its address on the
        # X server's root window.
        subprocess.run(["dbus-update-activation-environment", "DISPLAY", "XAUTHORITY"],
                       env=self.env, check=True)
        self.wait_until_managed()

    def xwayland_display(self):
        self.check_window_manager()
        with open(self.said.name) as log:
            found = re.search(r"Using public X11 display :(\d+)", log.read())
        return found.group(1) if found else None

    def wait_until_managed(self):
        try:
            wait_for(self.managed, WINDOW_MANAGER + " to manage the screen")
        except AssertionError:
            self.stop()  # else the X server outlives the test and holds its output open
            raise

    def check_window_manager(self):
        if self.window_manager.poll() is not None:
            self.said.seek(0)
            raise AssertionError("%s on %s ended with status %d; X server %s; they said: %s" % (
                WINDOW_MANAGER, getattr(self, "display", "no display"),
                self.window_manager.returncode,
                "runs" if self.xvfb is None or self.xvfb.poll() is None
                else "ended with %d" % self.xvfb.returncode, self.said.read()))

    def managed(self):
        self.check_window_manager()
        return "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK")

    def run(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True).stdout

    def stop(self):
        for process in (self.window_manager, self.xvfb):
            if process is not None:
                process.terminate()
                process.wait()
        self.said.close()

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

    def visible_window(self, *search):
        found = self.run("xdotool", "search", "--onlyvisible", *search).split()
        return int(found[0]) if found else None

    def start_monitor(self, test, executable):
        """Starts the monitor at executable; returns its process and its window."""
        env = dict(self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        monitor = subprocess.Popen([executable], env=env, stderr=subprocess.DEVNULL)
        test.addCleanup(lambda: monitor.poll() is None and (monitor.kill(), monitor.wait()))
        window = wait_for(lambda: self.visible_window("--pid", str(monitor.pid)),
                          "the monitor's window")
        return monitor, window


def read_accessible(pid, *options):
    reader = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "read_listing.py"),
                             str(pid), *options], capture_output=True, text=True)
    return json.loads(reader.stdout) if reader.returncode == 0 else None


def read_listing(pid):
    """What a screen reader finds in the listing of the monitor with this process id."""
    found = read_accessible(pid)
    return found["listing"] if found else None


def read_focused(pid):
    """The accessible name of the monitor's control that has the keyboard focus."""
    found = read_accessible(pid, "--focused")
    return found["focused"] if found else None


def read_boxes(pid, press_ok=False):
    """The title and texts of each message box the monitor shows, or None; press_ok answers the
    first one."""
    found = read_accessible(pid, "--boxes", *(["--press-ok"] if press_ok else []))
    return found["boxes"] if found else None


def scan(folder):
    """One pass of station-scan over folder, as a dictionary of its JSON."""
    run = subprocess.run([STATION_SCAN, "--json", folder], capture_output=True, text=True)
    return json.loads(run.stdout)


def as_read_back(listing):
    """A listing with its line breaks as a text box reads them back."""
    return listing.replace("\r\n", "\n")


def install_monitor(folder):
    """A copy of the monitor in folder, where it opens the station file."""
    executable = os.path.join(folder, "prOstrevan")
    shutil.copy(PROSTREVAN, executable)
    return executable


class StationFolder:
    """A fresh folder with a station file kept by station-owner, serving commands."""

    def __init__(self, records):
        self.path = tempfile.mkdtemp(prefix="ostrevan-system-")
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
        self.owner.stdin.close()
        self.owner.stdin = open(os.devnull, "w")

    def remove(self):
        # End of input ends the owner and releases its locks.
        self.owner.stdin.close()
        self.owner.wait()
        self.owner.stdout.close()
        shutil.rmtree(self.path)
