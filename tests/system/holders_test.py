"""station-scan --holders on a machine as messy as a user's file server: a file system that hangs
beside the station file, btrfs subvolumes whose files share inode numbers, a /proc that hides
other users' processes, a lock this user cannot see beside one it can, and a low descriptor
limit. The holders are this test's own processes (lock_holder.py, station-owner)."""
import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from faultfs import FaultFs
from harness import (AS_NOBODY, HERE, PATIENCE_S, SANITIZED, STATION_OWNER, STATION_SCAN,
                     runnable_by_another_user, wait_for)

UNSEEN = "held by a process this look-up cannot see"


class LookUp(unittest.TestCase):
    def setUp(self):
        # Open to every user: some cases look from the user nobody.
        self.folder = tempfile.mkdtemp(prefix="ostrevan-holders-")
        self.addCleanup(shutil.rmtree, self.folder)
        os.chmod(self.folder, 0o755)
        self.station = self.create(self.folder)
        self.scanner = os.path.join(self.folder, "station-scan")
        shutil.copy(STATION_SCAN, self.scanner)
        self.lock_holder = os.path.join(self.folder, "lock_holder.py")
        shutil.copy(os.path.join(HERE, "lock_holder.py"), self.lock_holder)

    def create(self, folder, records=9):
        station = os.path.join(folder, "Brevanto.SIT")
        subprocess.run([STATION_OWNER, "create", station, str(records)], check=True)
        os.chmod(station, 0o644)
        return station

    def scratch(self, prefix, *folders):
        """A temporary folder, removed afterwards, and the paths of folders in it, made."""
        root = tempfile.mkdtemp(prefix=prefix)
        self.addCleanup(shutil.rmtree, root)
        for folder in folders:
            os.mkdir(os.path.join(root, folder))
        return [os.path.join(root, name) for name in ("", *folders)]

    def start(self, command):
        process = subprocess.Popen(runnable_by_another_user(command), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   text=True)

        def end():
            process.stdin.close()
            process.wait()
            process.stdout.close()
        self.addCleanup(end)
        return process

    def hold(self, record, kind="ofd", mode="read", station=None, name=None, fork=False,
             prefix=()):
        """A holder of one lock; its pid, then its child's."""
        holder = self.start([*prefix, sys.executable, self.lock_holder,
                             station or self.station, str(record), kind, mode,
                             *(["--name", name] if name else []), *(["--fork"] if fork else [])])
        words = holder.stdout.readline().split()
        self.assertEqual(words[:1], ["ready"])
        return [int(pid) for pid in words[1:]]

    def own(self, record, station=None):
        """station-owner holding a classic lock on the record; its pid."""
        owner = self.start([STATION_OWNER, "hold", station or self.station, str(record)])
        self.assertEqual(owner.stdout.readline().strip(), "ready")
        return owner.pid

    def holders(self, *prefix, folder=None):
        command = [*prefix, self.scanner, "--holders", "--json", folder or self.folder]
        run = subprocess.run(runnable_by_another_user(command), capture_output=True, text=True,
                             timeout=PATIENCE_S * 6)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        return json.loads(run.stdout)["holders"]

    @unittest.skipUnless(os.geteuid() == 0, "mounts need root")
    def test_a_hung_file_system_beside_it_does_not_hold_the_look_up(self):
        # A bystander has a file of the same name open on a FUSE mount whose server stopped
        # answering, as on a dead sshfs or a hard NFS mount: nothing may call into that mount.
        scratch, backing, mountpoint = self.scratch("ostrevan-faultfs-", "backing", "mount")
        with FaultFs(backing, mountpoint, os.path.join(scratch, "control")) as mounted:
            stranded = os.path.join(mountpoint, "Brevanto.SIT")
            open(stranded, "w").close()
            bystander = subprocess.Popen(
                [sys.executable, "-c", "import sys; f = open(sys.argv[1]); print('ready', "
                 "flush=True); sys.stdin.read()", stranded],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.assertEqual(bystander.stdout.readline().strip(), "ready")
            # Held through another name, the file is looked for by inode too.
            alias = os.path.join(self.folder, "alias.SIT")
            os.link(self.station, alias)
            [holder] = self.hold(3, station=alias, name="holder")
            mounted.hang()
            scan = subprocess.Popen([self.scanner, "--holders", "--json", self.folder],
                                    stdout=subprocess.PIPE, text=True)
            try:
                output, _ = scan.communicate(timeout=PATIENCE_S * 6)
            except subprocess.TimeoutExpired:
                output = None
            mounted.answer()  # a process waiting on the mount ends only once it answers
            scan.kill()
            scan.communicate()
            bystander.stdin.close()
            bystander.wait()
            bystander.stdout.close()
            self.assertIsNotNone(output, "the look-up waited for the hung file system")
            self.assertEqual(json.loads(output)["holders"],
                             [{"record": 3, "pid": holder, "command": "holder", "user": "root"}])

    @unittest.skipUnless(os.geteuid() == 0, "mounts need root")
    def test_a_file_of_another_btrfs_subvolume_with_the_same_inode_is_not_the_station_file(self):
        # Both subvolumes' first file is inode 257 under the file system's one device, which is
        # all that the kernel's lock list names; each share of a Synology is such a subvolume.
        scratch, mountpoint = self.scratch("ostrevan-btrfs-", "mount")
        image = os.path.join(scratch, "image")
        with open(image, "wb") as out:
            out.truncate(256 * 1024 * 1024)
        subprocess.run(["mkfs.btrfs", "-q", image], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["mount", "-o", "loop", image, mountpoint], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", mountpoint], check=True)
        shares = [os.path.join(mountpoint, share) for share in ("caja", "almacen")]
        for share in shares:
            subprocess.run(["btrfs", "-q", "subvolume", "create", share], check=True)
            os.chmod(share, 0o755)
        station, other = (self.create(share) for share in shares)
        self.assertEqual(os.stat(station).st_ino, os.stat(other).st_ino)
        owner = self.own(3, station)
        [holder] = self.hold(5, station=station, name="holder")
        [reader] = self.hold(6, station=station, name="reader")
        self.own(3, other)
        self.hold(5, station=other, name="other")
        # Under another name too, the other file is not the station file, nor is its lock unseen.
        renamed = os.path.join(shares[1], "other.dat")
        os.link(other, renamed)
        self.hold(6, station=renamed, name="renamed")
        self.assertEqual(self.holders(folder=shares[0]),
                         [{"record": 3, "pid": owner, "command": "station-owner", "user": "root"},
                          {"record": 5, "pid": holder, "command": "holder", "user": "root"},
                          {"record": 6, "pid": reader, "command": "reader", "user": "root"}])

    @unittest.skipUnless(os.geteuid() == 0, "mounts and other users need root")
    def test_a_process_hidden_from_the_user_is_never_said_to_be_gone(self):
        # /proc mounted with hidepid=2 shows a user only their own processes.
        owner = self.own(3)
        self.hold(4)
        # A process of the user's own that has ended and is not yet reaped (as a session's bus
        # is, for a moment after the session): its table refuses every user, and it holds nothing.
        zombie = self.start([*AS_NOBODY, sys.executable, "-c",
                             "import os, sys\nif os.fork() == 0: os._exit(0)\n"
                             "print('ready', flush=True)\nsys.stdin.read()"])
        self.assertEqual(zombie.stdout.readline().strip(), "ready")
        hidden = "this user cannot see which files it has open: run as root"
        self.assertEqual(
            self.holders("unshare", "--mount", "--propagation", "private", "sh", "-c",
                         'mount -t proc -o hidepid=2 proc /proc && exec "$@"', "sh", *AS_NOBODY),
            [{"record": 3, "pid": owner, "command": "", "user": "", "unknown": hidden},
             {"record": 4, "pid": None, "unknown": UNSEEN}])

    @unittest.skipUnless(os.geteuid() == 0, "other users need root")
    def test_every_lock_of_a_range_is_counted_seen_or_not(self):
        # Two shared locks of one range: root's, whose description a child shares after a fork,
        # and nobody's. nobody sees only its own, and is told of the other. Root's classic lock
        # shows through no descriptor that nobody may read, but the lock query through nobody's
        # own descriptor of the station file names the very process that the kernel's list does.
        root, child = self.hold(3, name="cashier", fork=True)
        [nobody] = self.hold(3, name="stranger", prefix=AS_NOBODY)
        owner = self.own(5)
        stranger = {"record": 3, "pid": nobody, "command": "stranger", "user": "nobody"}
        classic = {"record": 5, "pid": owner, "command": "station-owner", "user": "root"}
        self.assertEqual(
            self.holders(*AS_NOBODY),
            [stranger, {"record": 3, "pid": None,
                        "unknown": "held by a process this user may not look into: run as root"},
             classic])
        self.assertEqual(
            self.holders(),
            sorted([{"record": 3, "pid": root, "command": "cashier", "user": "root"},
                    {"record": 3, "pid": child, "command": "cashier", "user": "root"}, stranger],
                   key=lambda holder: holder["pid"]) + [classic])

    @unittest.skipUnless(os.geteuid() == 0, "smbstatus is asked as root only")
    def test_smbstatus_and_what_it_started_end_with_station_scan(self):
        # smbstatus runs in a process group of its own, which the terminal's Ctrl-C and an engine
        # that ends the probe's group do not reach: it ends, with what it started, however
        # station-scan ends, killed outright too.
        [planted] = self.scratch("ostrevan-smbstatus-")
        os.chmod(planted, 0o755)
        smbstatus = os.path.join(planted, "smbstatus")
        started = os.path.join(planted, "started")
        with open(smbstatus, "w") as script:
            script.write('#!/bin/sh\nsleep 600 &\necho $$ $! > "%s.new"\nmv "%s.new" "%s"\nwait\n'
                         % (started, started, started))
        os.chmod(smbstatus, 0o755)
        # A holder that may be an smbd, by its name: smbstatus is asked about it.
        self.hold(3, name="smbd")
        # The pass that station-scan runs in a child of its own ends with it too, and so writes
        # no metrics after its caller gave up.
        metrics = os.path.join(planted, "stations.prom")
        for how in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            scan = subprocess.Popen([self.scanner, "--prometheus", "--output", metrics,
                                     "--holders", "--smbstatus", smbstatus, self.folder])
            pids = [int(pid) for pid in wait_for(lambda: read_if_there(started),
                                                 "smbstatus to start").split()]
            os.remove(started)
            [passing] = [int(pid) for pid in read_if_there(
                "/proc/%d/task/%d/children" % (scan.pid, scan.pid)).split()]
            self.addCleanup(end_all, [passing, *pids])
            scan.send_signal(how)
            self.assertEqual(scan.wait(), -how)
            for pid in [passing, *pids]:
                wait_for(lambda: not running(pid), "%d to end after %s" % (pid, how.name))
            self.assertFalse(os.path.exists(metrics), how.name)
        # At its time-out (shorter than smbstatus's own patience of 5 s) station-scan answers for
        # the look-up itself and ends smbstatus with what it started.
        scan = subprocess.Popen([self.scanner, "--holders", "--smbstatus", smbstatus, "-t", "4",
                                 self.folder], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        pids = [int(pid) for pid in wait_for(lambda: read_if_there(started),
                                             "smbstatus to start").split()]
        self.addCleanup(end_all, pids)
        _, errors = scan.communicate(timeout=PATIENCE_S)
        self.assertEqual((scan.returncode, errors), (1, (
            "station-scan: no answer from the look-up of the holders of %s/Brevanto.SIT in the "
            "time-out of 4 s: %d %s\n" % (self.folder, errno.ETIMEDOUT,
                                           os.strerror(errno.ETIMEDOUT)))))
        for pid in pids:
            wait_for(lambda: not running(pid), "%d to end at the time-out" % pid)

    @unittest.skipUnless(os.geteuid() == 0, "smbstatus is asked as root only")
    def test_smbstatus_is_not_started_where_no_smbd_runs(self):
        def skip_where_an_smbd_runs():
            # Another suite's Samba server, here or in a suite run beside this one.
            if any(command.startswith("smbd") for command in commands_running()):
                self.skipTest("an smbd runs on this machine")
        skip_where_an_smbd_runs()
        [planted] = self.scratch("ostrevan-smbstatus-")
        smbstatus, ran = os.path.join(planted, "smbstatus"), os.path.join(planted, "ran")
        with open(smbstatus, "w") as script:
            script.write('#!/bin/sh\ntouch "%s"\necho "{}"\n' % ran)
        os.chmod(smbstatus, 0o755)
        [holder] = self.hold(3, name="cashier")
        run = subprocess.run([self.scanner, "--holders", "--json", "--smbstatus", smbstatus,
                              self.folder], capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(json.loads(run.stdout)["holders"],
                         [{"record": 3, "pid": holder, "command": "cashier", "user": "root"}])
        skip_where_an_smbd_runs()
        self.assertFalse(os.path.exists(ran), "smbstatus ran where no smbd runs")

    @unittest.skipUnless(os.geteuid() == 0, "smbstatus is asked as root only")
    def test_what_an_smbd_forked_is_named_where_samba_lists_every_lock(self):
        # Samba's status, asked first, lists a lock of one server on record 3, and its lock is
        # the only one: only the servers are looked into, and with them what they forked, which
        # shares their descriptions. (A process that calls itself smbd holds a classic lock, as
        # Samba's daemons do on their databases: the hint that Samba runs.)
        other = os.path.join(self.folder, "other.tdb")
        subprocess.run([STATION_OWNER, "create", other, "2"], check=True)
        self.hold(2, kind="posix", station=other, name="smbd")
        server, child = self.hold(3, name="smbd", fork=True)
        [planted] = self.scratch("ostrevan-smbstatus-")
        smbstatus = os.path.join(planted, "smbstatus")
        file = os.stat(self.station)
        status = {
            "sessions": {"1": {"server_id": {"pid": str(server)}, "uid": 0, "username": "ana",
                               "remote_machine": "caja-1", "hostname": "ipv4:192.0.2.1:50001"}},
            "open_files": {self.station: {
                "fileid": {"devid": file.st_dev, "inode": file.st_ino},
                "opens": {"1": {"server_id": {"pid": str(server)}, "uid": 0,
                                "opened_at": "2026-12-09T08:00:00+00:00"}}}},
            "byte_range_locks": {self.station: {
                "fileid": {"devid": file.st_dev, "inode": file.st_ino},
                "locks": [{"server_id": {"pid": str(server)}, "start": 2 * 81, "size": 81}]}}}
        with open(smbstatus, "w") as script:
            script.write("#!/bin/sh\ncat <<'EOF'\n%s\nEOF\n" % json.dumps(status))
        os.chmod(smbstatus, 0o755)
        run = subprocess.run([self.scanner, "--holders", "--json", "--smbstatus", smbstatus,
                              self.folder], capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(
            json.loads(run.stdout)["holders"],
            sorted([{"record": 3, "pid": server, "command": "smbd", "user": "root",
                     "client": "caja-1", "address": "192.0.2.1", "account": "ana",
                     "since": "2026-12-09T08:00:00+00:00"},
                    {"record": 3, "pid": child, "command": "smbd", "user": "root"}],
                   key=lambda holder: holder["pid"]))

    def test_a_holder_through_another_name_of_the_file_is_named(self):
        alias = os.path.join(self.folder, "alias.SIT")
        os.link(self.station, alias)
        owner = self.own(3, alias)
        [holder] = self.hold(5, station=alias, name="aliased")
        expected = [{"record": 3, "pid": owner, "command": "station-owner", "user": holder_user()},
                    {"record": 5, "pid": holder, "command": "aliased", "user": holder_user()}]
        if os.geteuid() == 0:
            [bound] = self.scratch("ostrevan-bound-")
            subprocess.run(["mount", "--bind", self.folder, bound], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", bound], check=True)
            [mounted] = self.hold(6, station=os.path.join(bound, "alias.SIT"), name="bound")
            expected.append({"record": 6, "pid": mounted, "command": "bound", "user": "root"})
        self.assertEqual(self.holders(), expected)

    def test_a_low_descriptor_limit_names_every_holder_or_fails(self):
        owners = [self.own(record) for record in range(3, 10)]
        self.assertEqual(
            self.holders("prlimit", "--nofile=11"),
            [{"record": record, "pid": owner, "command": "station-owner",
              "user": holder_user()} for record, owner in zip(range(3, 10), owners)])
        # With no descriptor to spare the look-up cannot run at all, and says so. (The sanitizers
        # need descriptors of their own to check memory, and report a false fault without them.)
        # Just short of enough, a descriptor of /proc that cannot be opened is no answer either.
        if SANITIZED:
            return
        for limit in (4, 5, 6):
            run = subprocess.run(["prlimit", f"--nofile={limit}", self.scanner, "--holders",
                                  self.folder], capture_output=True, text=True)
            self.assertEqual(run.returncode, 1, limit)
            self.assertIn("station-scan: 24 ", run.stderr, limit)


def read_if_there(path):
    try:
        with open(path) as text:
            return text.read()
    except FileNotFoundError:
        return None


def running(pid):
    """Whether the process runs (not ended, nor a zombie waiting for its parent)."""
    stat = read_if_there("/proc/%d/stat" % pid)
    return stat is not None and stat[stat.rindex(")") + 2] != "Z"


def end_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def commands_running():
    """The name (/proc/PID/comm) of every process that still runs."""
    commands = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        command = read_if_there("/proc/%s/comm" % pid)
        if command is not None:
            commands.append(command.rstrip("\n"))
    return commands


def holder_user():
    import pwd
    return pwd.getpwuid(os.getuid()).pw_name


if __name__ == "__main__":
    unittest.main(verbosity=2)
