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
    "marco": ["marco", "--no-composite"],
    "fluxbox": ["fluxbox"],
    "awesome": ["awesome"],
}
# A bare X session, as kiosks run it.
NO_WINDOW_MANAGER = "none"
# NAME + FOCUS_FOLLOWS_MOUSE: that window manager with the keyboard focus following the pointer,
# as its desktop's setting sets it (xfwm4's click_to_focus false, GNOME's focus-mode sloppy).
FOCUS_FOLLOWS_MOUSE = "-sloppy"
XFWM4_FOCUS_FOLLOWS_MOUSE = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfwm4" version="1.0">
  <property name="general" type="empty">
    <property name="click_to_focus" type="bool" value="false"/>
  </property>
</channel>
"""
GNOME_FOCUS_FOLLOWS_MOUSE = "[org/gnome/desktop/wm/preferences]\nfocus-mode='sloppy'\n"
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
        self.window_manager = None
        if WINDOW_MANAGER == WAYLAND_SESSION:
            self.start_wayland_session()
        else:
            self.start()
        # The monitor looks for the accessibility bus when it starts; asking for it starts it.
        read_listing(0)
        # The pointer rests in a corner, away from the windows, unless a test moves it: the
        # monitor does not come over another window where the pointer rests on it.
        self.run("xdotool", "mousemove", "--sync", "1023", "767")

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
        if WINDOW_MANAGER == NO_WINDOW_MANAGER:
            return
        self.window_manager = subprocess.Popen(
            WINDOW_MANAGERS[WINDOW_MANAGER.removesuffix(FOCUS_FOLLOWS_MOUSE)],
            env=self.window_manager_env(), stdout=self.said, stderr=subprocess.STDOUT)
        self.wait_until_managed()

    def window_manager_env(self):
        """A home of the window manager's own, which some fill with settings at first start
        (fluxbox, awesome), holding the focus-follows-mouse settings where the run asks for
        them."""
        self.home = tempfile.TemporaryDirectory(prefix="ostrevan-wm-")
        config = os.path.join(self.home.name, ".config")
        env = dict(self.env, HOME=self.home.name, XDG_CONFIG_HOME=config,
                   XDG_CACHE_HOME=os.path.join(self.home.name, ".cache"))
        # fluxbox would set its wallpaper through a helper that, missing its image tools, shows
        # a message window of its own.
        os.makedirs(os.path.join(self.home.name, ".fluxbox"))
        with open(os.path.join(self.home.name, ".fluxbox", "overlay"), "w") as overlay:
            overlay.write("background: none\n")
        if WINDOW_MANAGER.endswith(FOCUS_FOLLOWS_MOUSE):
            for folder, name, text in (
                    ("xfce4/xfconf/xfce-perchannel-xml", "xfwm4.xml", XFWM4_FOCUS_FOLLOWS_MOUSE),
                    ("glib-2.0/settings", "keyfile", GNOME_FOCUS_FOLLOWS_MOUSE)):
                os.makedirs(os.path.join(config, folder))
                with open(os.path.join(config, folder, name), "w") as settings:
                    settings.write(text)
            # GNOME's settings from that file rather than dconf; xfwm4's from xfconfd, which
            # the session bus starts with the bus's own environment.
            env["GSETTINGS_BACKEND"] = "keyfile"
            subprocess.run(["dbus-update-activation-environment", "XDG_CONFIG_HOME=" + config],
                           check=True)
        return env

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
        if self.window_manager is not None and self.window_manager.poll() is not None:
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
                try:
                    process.wait(timeout=PATIENCE_S)
                except subprocess.TimeoutExpired:
                    # fluxbox, now and then, locks up in its own handler of the signal.
                    process.kill()
                    process.wait()
        self.said.close()
        if hasattr(self, "home"):
            self.home.cleanup()

    def stacking(self):
        """Client windows from bottom to top."""
        line = self.run("xprop", "-root", "_NET_CLIENT_LIST_STACKING")
        return [int(word.strip(","), 16) for word in line.split("#", 1)[-1].split()]

    def top_levels(self):
        """The root window's children from bottom to top: the frames around client windows, or
        the client windows themselves where no window manager frames them."""
        tree = self.run("xwininfo", "-root", "-children").split("children:", 1)[-1]
        # xwininfo lists the topmost first.
        return [int(line.split()[0], 16) for line in reversed(tree.splitlines())
                if line.strip().startswith("0x")]

    def frame_of(self, window):
        while True:
            tree = self.run("xwininfo", "-tree", "-id", str(window))
            parent = int(re.search(r"Parent window id: (0x[0-9a-f]+)", tree).group(1), 16)
            if parent == int(re.search(r"Root window id: (0x[0-9a-f]+)", tree).group(1), 16):
                return window
            window = parent

    def lies_over(self, window, other):
        """Whether window lies over other in the X server's own stacking, which every window
        manager keeps, whatever its stacking list says."""
        order = self.top_levels()
        mine, theirs = self.frame_of(window), self.frame_of(other)
        return mine in order and theirs in order and order.index(mine) > order.index(theirs)

    def move_over(self, window, target, offset=(0, 0)):
        """Moves window to target's place, shifted by offset, and waits until the two overlap: a
        window manager may shift it a little, and xdotool's --sync would wait for ever where the
        window is there already."""
        left, top, _, _ = self.geometry(target)
        self.run("xdotool", "windowmove", str(window), str(left + offset[0]),
                 str(top + offset[1]))

        def overlapping():
            (x, y, width, height), (x2, y2, width2, height2) = (self.geometry(window),
                                                                self.geometry(target))
            return x < x2 + width2 and x2 < x + width and y < y2 + height2 and y2 < y + height
        wait_for(overlapping, "the window moved over the other")

    def demands_attention(self, window):
        return "DEMANDS_ATTENTION" in self.run("xprop", "-id", str(window), "_NET_WM_STATE")

    def over_ticks(self, folder, window, ticks, each_tick):
        """Runs each_tick after each of a number of the monitor's ticks: the station file grows
        by a record, and each tick shows its new size in the caption."""
        for _ in range(ticks):
            records = folder.grow()
            wait_for(lambda: self.caption(window) == str(records), "a tick to show %d" % records)
            each_tick()

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

    def start_refreshed_monitor(self, test, records=7):
        """Starts a monitor in a fresh folder of records and waits for its first refresh;
        returns the folder and the monitor's window."""
        folder = StationFolder(records)
        test.addCleanup(folder.remove)
        _, window = self.start_monitor(test, install_monitor(folder.path))
        wait_for(lambda: self.caption(window) == str(records), "the first refresh")
        return folder, window

    def viewable(self, window):
        """Whether the window is on the screen: mapped, with every window it lies in."""
        return "Map State: IsViewable" in self.run("xwininfo", "-id", str(window))

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


def start_wine(env):
    """One Wine server for the prefix that env names, made on first use, kept until stop_wine,
    with Wine's own background programs started (scripts/start-wine.sh)."""
    # Making a prefix alone takes up to half a minute on a busy machine.
    subprocess.run(["bash", os.path.join(CHECKOUT, "scripts", "start-wine.sh")], env=env,
                   timeout=PATIENCE_S * 12, check=True)


def stop_wine(env):
    """Ends the prefix's server and every program under it, and waits until it has gone."""
    subprocess.run(["wineserver", "-k"], env=env)
    subprocess.run(["wineserver", "-w"], env=env)


def install_monitor(folder):
    """A copy of the monitor in folder, where it opens the station file."""
    executable = os.path.join(folder, "prOstrevan")
    shutil.copy(PROSTREVAN, executable)
    return executable


class RootRequests:
    """The requests that clients send the window manager through the root window (client
    messages and synthetic configure requests), as xev hears them."""

    def __init__(self, x):
        self.heard = tempfile.NamedTemporaryFile(mode="w+")
        self.xev = subprocess.Popen(["xev", "-root", "-event", "substructure"], env=x.env,
                                    stdout=self.heard, stderr=subprocess.DEVNULL)

    def count(self):
        with open(self.heard.name) as heard:
            return len(re.findall(r"^(ClientMessage|ConfigureRequest) event", heard.read(),
                                  re.MULTILINE))

    def stop(self):
        self.xev.terminate()
        self.xev.wait()
        self.heard.close()


class StationFolder:
    """A fresh folder with a station file kept by station-owner, serving commands."""

    def __init__(self, records):
        self.path = tempfile.mkdtemp(prefix="ostrevan-system-")
        self.owner = subprocess.Popen(
            [STATION_OWNER, "serve", os.path.join(self.path, "Brevanto.SIT")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.records = records
        self.command("grow %d" % records)

    def grow(self):
        """One more record; returns how many there are."""
        self.records += 1
        self.command("grow %d" % self.records)
        return self.records

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
