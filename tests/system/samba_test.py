"""The station file served by a real Samba server to SMB2 clients that lock their records as the
owning application's workstations do. The monitor and station-scan run on the server, beside the
shared file, and see those locks: Samba keeps each client's byte-range lock as an fcntl lock on
the served file. station-scan --holders names, for each lock, the client that Samba serves."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from harness import (AS_NOBODY, HERE, STATION_OWNER, STATION_SCAN, XServer, as_read_back,
                     install_monitor, read_listing, runnable_by_another_user, scan, wait_for)

SMBD = os.environ.get("SMBD", "/usr/sbin/smbd")
RECORD = 81
X = None

# The settings the monitor relies on are Samba's defaults ("posix locking = yes"); oplocks are off
# for the station file, as the README advises.
CONFIGURATION = """[global]
    server role = standalone server
    interfaces = 127.0.0.1
    bind interfaces only = yes
    smb ports = {port}
    disable netbios = yes
    server min protocol = SMB2_02
    lock directory = {root}/lock
    state directory = {root}/state
    cache directory = {root}/cache
    private dir = {root}/private
    binddns dir = {root}/private
    pid directory = {root}/run
    ncalrpc dir = {root}/ncalrpc
    log file = {root}/smbd.log
    passdb backend = tdbsam:{root}/private/passdb.tdb
    map to guest = Bad User
    load printers = no
    printcap name = /dev/null
    disable spoolss = yes
    usershare path =
[station]
    path = {root}/share
    read only = no
    guest ok = yes
    force user = root
    veto oplock files = /Brevanto.SIT/
"""


def free_ports(count):
    """Ports that nothing listens on now, all different: each probe stays bound until every one
    is chosen, or the kernel could hand one out twice."""
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind(("127.0.0.1", 0))
        return [probe.getsockname()[1] for probe in probes]
    finally:
        for probe in probes:
            probe.close()


def free_port():
    return free_ports(1)[0]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class SambaServer:
    """A private smbd on 127.0.0.1 only, all of its state under root; nothing system-wide."""

    def __init__(self, root):
        self.share = os.path.join(root, "share")
        for folder in ("lock", "state", "cache", "private", "run", "ncalrpc", "share"):
            os.mkdir(os.path.join(root, folder))
        self.port = free_port()
        self.configuration = os.path.join(root, "smb.conf")
        with open(self.configuration, "w") as out:
            out.write(CONFIGURATION.format(root=root, port=self.port))
        # smbd makes its own process group; it is stopped by its process id alone.
        self.smbd = subprocess.Popen([SMBD, "--foreground", "--configfile", self.configuration],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: listening(self.port), "smbd to listen")

    def status(self):
        """What smbstatus says of the sessions, open files and byte-range locks."""
        return json.loads(subprocess.run(
            ["smbstatus", "--json", "-B", "--configfile", self.configuration],
            capture_output=True, text=True, check=True).stdout)

    def stop(self):
        self.smbd.terminate()
        self.smbd.wait()


class Workstation:
    """An SMB2 client holding locks on the shared station file until it disconnects."""

    def __init__(self, server, access, *locks, name=None):
        naming = ["--name", name] if name else []
        self.client = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "smb_workstation.py"), str(server.port),
             "station", "Brevanto.SIT", access, *naming, *locks],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = self.client.stdout.readline().split()
        assert ready[:1] == ["ready"], "the workstation could not lock: %s" % ready
        self.port = int(ready[1])

    def as_samba_serves_it(self, status):
        """Samba's session for this workstation, found by its TCP port, and when the smbd that
        serves it opened the station file."""
        session = next(session for session in status["sessions"].values()
                       if session["hostname"] == "ipv4:127.0.0.1:%d" % self.port)
        pid = session["server_id"]["pid"]
        opened = [open_["opened_at"] for file in status["open_files"].values()
                  for open_ in file["opens"].values() if open_["server_id"]["pid"] == pid]
        return session, int(pid), min(opened)

    def disconnect(self):
        self.client.stdin.close()
        self.client.wait()
        self.client.stdout.close()

    def kill(self):
        self.client.send_signal(signal.SIGKILL)
        self.client.wait()
        self.client.stdin.close()
        self.client.stdout.close()

    def ended(self):
        return self.client.poll() is not None


def record(number, offset=0, length=RECORD, kind="x"):
    return "%d:%d:%s" % ((number - 1) * RECORD + offset, length, kind)


@unittest.skipUnless(os.geteuid() == 0, "smbd serves a share as root only")
class SharedStationFile(unittest.TestCase):
    def setUp(self):
        root = tempfile.mkdtemp(prefix="ostrevan-samba-")
        self.addCleanup(shutil.rmtree, root)
        self.server = SambaServer(root)
        self.addCleanup(self.server.stop)
        subprocess.run([STATION_OWNER, "create", os.path.join(self.server.share, "Brevanto.SIT"),
                        "7"], check=True)
        self.workstations = {}

    def connect(self, station, access, *locks, name=None):
        workstation = Workstation(self.server, access, *locks, name=name)
        self.addCleanup(lambda: workstation.ended() or workstation.disconnect())
        self.workstations[station] = workstation

    def connect_the_four_kinds(self):
        self.connect(3, "rw", record(3))                 # exclusive, read-write handle
        self.connect(4, "ro", record(4))                 # exclusive, read-only handle
        self.connect(5, "rw", record(5, kind="s"))       # shared
        self.connect(6, "rw", record(6, 15, 5))          # part of the record

    def test_station_scan_on_the_server_sees_exactly_the_workstations(self):
        self.connect_the_four_kinds()
        self.assertEqual(scan(self.server.share),
                         {"listing": "2\t3- **\r\n4- **\t5- **\t6- **\r\n7\t8\t", "connected": 4,
                          "lastFree": 7})

    def test_the_monitor_sees_them_and_frees_a_station_that_leaves(self):
        self.connect_the_four_kinds()
        monitor, window = X.start_monitor(self, install_monitor(self.server.share))

        def monitor_agrees_with_station_scan():
            return read_listing(monitor.pid) == as_read_back(scan(self.server.share)["listing"])
        wait_for(monitor_agrees_with_station_scan, "the monitor's listing")
        self.assertEqual(read_listing(monitor.pid), "2\t3- **\n4- **\t5- **\t6- **\n7\t8\t")
        self.assertEqual(X.caption(window), "7")

        self.workstations[3].disconnect()
        wait_for(lambda: (read_listing(monitor.pid) or "").startswith("2\t3\n"),
                 "station 3 to show free after its workstation disconnected")
        self.workstations[4].kill()
        wait_for(lambda: (read_listing(monitor.pid) or "").startswith("2\t3\n4\t"),
                 "station 4 to show free after its workstation was killed")
        self.assertEqual(read_listing(monitor.pid), "2\t3\n4\t5- **\t6- **\n7\t8\t")

    def holders(self, *command, configuration=None, options=(), env=None):
        command = [*command, "--holders", "--json", "--smb-conf",
                   configuration or self.server.configuration, *options, self.server.share]
        run = subprocess.run(runnable_by_another_user(command), capture_output=True, text=True,
                             env=env)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        result = json.loads(run.stdout)
        self.assertEqual({key: result[key] for key in ("listing", "connected", "lastFree")},
                         scan(self.server.share), "the pass's own output stays as it is")
        return result["holders"]

    def connect_two_sharing_and_one_named(self):
        self.connect(3, "rw", record(3), name="CAJA-3")  # sends a NetBIOS machine name
        self.connect(4, "ro", record(4))
        self.connect(5, "rw", record(5, kind="s"))       # two workstations share record 5
        self.connect("5b", "ro", record(5, kind="s"))
        self.connect(6, "rw", record(6, 15, 5))

    def test_holders_are_the_clients_as_samba_serves_them(self):
        self.connect_two_sharing_and_one_named()
        status = self.server.status()
        expected = []
        for station in (3, 4, 5, "5b", 6):
            session, pid, since = self.workstations[station].as_samba_serves_it(status)
            expected.append({"record": int(str(station)[0]), "pid": pid, "command": "smbd",
                             "user": "root", "client": session["remote_machine"],
                             "address": "127.0.0.1", "account": session["username"],
                             "since": since})
        self.assertEqual(self.holders(STATION_SCAN),
                         sorted(expected, key=lambda holder: (holder["record"], holder["pid"])))
        # Samba's own words for the clients: the machine name the client sent, else its address,
        # and the guest account.
        self.assertEqual([holder["client"] for holder in expected],
                         ["caja-3", "127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"])
        self.assertEqual({holder["account"] for holder in expected}, {"nobody"})

        # Asked of another configuration, Samba lists none of these servers: each smbd is named
        # as the process it is, and nothing is said of clients that Samba did not list.
        elsewhere = os.path.join(os.path.dirname(self.server.share), "no-such-smb.conf")
        self.assertEqual(
            self.holders(STATION_SCAN, configuration=elsewhere),
            sorted(({key: holder[key] for key in ("record", "pid", "command", "user")}
                    for holder in expected),
                   key=lambda holder: (holder["record"], holder["pid"])))

    def hold_locally(self, record, name, fork=False):
        """A process of the server's own holding a shared open-file-description lock on the
        record; its pid, then its child's, which shares the lock."""
        holder = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "lock_holder.py"),
             os.path.join(self.server.share, "Brevanto.SIT"), str(record), "ofd", "read",
             "--name", name, *(["--fork"] if fork else [])],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        def end():
            holder.stdin.close()
            holder.wait()
            holder.stdout.close()
        self.addCleanup(end)
        words = holder.stdout.readline().split()
        self.assertEqual(words[:2], ["ready", str(holder.pid)])
        return [int(pid) for pid in words[1:]]

    def served(self, station, record_number):
        """The holder that station-scan names for the workstation's lock on the record."""
        session, pid, since = self.workstations[station].as_samba_serves_it(self.server.status())
        return {"record": record_number, "pid": pid, "command": "smbd", "user": "root",
                "client": session["remote_machine"], "address": "127.0.0.1",
                "account": session["username"], "since": since}

    def test_only_the_servers_that_samba_lists_are_taken_for_samba(self):
        # A process that calls itself "smbd-helper" holds a lock beside Samba's own: smbstatus
        # does not list it, so it is named as any process is, with no word of Samba's.
        self.connect(3, "rw", record(3))
        [helper] = self.hold_locally(5, "smbd-helper")
        self.assertEqual(
            self.holders(STATION_SCAN),
            [self.served(3, 3),
             {"record": 5, "pid": helper, "command": "smbd-helper", "user": "root"}])

    def test_where_samba_lists_every_lock_only_its_servers_are_looked_into(self):
        # One workstation locks records 3 and 4 through one handle, which the kernel lists as one
        # lock of both (bytes 162 to 323) where Samba lists two; another shares record 6.
        self.connect(3, "rw", record(3), record(4))
        self.connect(6, "ro", record(6, kind="s"))
        trace = os.path.join(os.path.dirname(self.server.share), "openat.trace")
        self.assertEqual(
            self.holders("strace", "-f", "-qq", "-e", "trace=openat", "-e", "signal=none", "-o", trace,
                         STATION_SCAN, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0")),
            [self.served(3, 3), self.served(3, 4), self.served(6, 6)])
        with open(trace) as traced:
            looked_into = set(re.findall(r'"/proc/(\d+)/(?:task/\d+/)?fd"', traced.read()))
        servers = {str(self.workstations[station].as_samba_serves_it(self.server.status())[1])
                   for station in (3, 6)}
        self.assertEqual(looked_into, servers)

    def test_local_holders_beside_samba_clients_are_named(self):
        # A process of the server's own shares the range of a workstation's shared lock (the
        # kernel lists the same line twice), with a child that shares its description; Samba's
        # servers show one of the two, and the rest of the machine is looked into for the other.
        self.connect(3, "rw", record(3))
        self.connect(5, "rw", record(5, kind="s"))
        cashier, child = self.hold_locally(5, "cashier", fork=True)
        local = [{"record": 5, "pid": pid, "command": "cashier", "user": "root"}
                 for pid in (cashier, child)]

        def expected(*more):
            return sorted([self.served(3, 3), self.served(5, 5), *local, *more],
                          key=lambda holder: (holder["record"], holder["pid"]))
        self.assertEqual(self.holders(STATION_SCAN), expected())
        # Beside the workstation's record 3, a lock on record 4 that no smbd holds, which Samba's
        # locks do not cover.
        [neighbour] = self.hold_locally(4, "neighbour")
        self.assertEqual(
            self.holders(STATION_SCAN),
            expected({"record": 4, "pid": neighbour, "command": "neighbour", "user": "root"}))

    def test_samba_status_is_samba_own_program_in_an_environment_of_its_own(self):
        self.connect(3, "rw", record(3))
        session, pid, since = self.workstations[3].as_samba_serves_it(self.server.status())
        served = {"record": 3, "pid": pid, "command": "smbd", "user": "root"}
        client = {"client": session["remote_machine"], "address": "127.0.0.1",
                  "account": session["username"], "since": since}
        planted = tempfile.mkdtemp(prefix="ostrevan-planted-")
        self.addCleanup(shutil.rmtree, planted)
        ran = os.path.join(planted, "ran")
        # A program of a user's, first on a PATH that sudo -E, su or cron hands down to root.
        with open(os.path.join(planted, "smbstatus"), "w") as fake:
            fake.write("#!/bin/sh\nenv > %s\nsleep 600\n" % ran)
        os.chmod(os.path.join(planted, "smbstatus"), 0o755)
        caller = dict(os.environ, PATH=planted + ":" + os.environ["PATH"], CALLER_SECRET="1")
        self.assertEqual(self.holders(STATION_SCAN, env=caller), [served | client])
        self.assertFalse(os.path.exists(ran), "the program first on PATH ran")

        # Named by --smbstatus, it runs, without the caller's environment, and is ended when it
        # gives no answer: its clients are then unknown, with the reason.
        self.assertEqual(
            self.holders(STATION_SCAN, env=caller,
                         options=("--smbstatus", os.path.join(planted, "smbstatus"))),
            [served | {"unknown": "smbstatus gave no answer in 5 s and was ended"}])
        with open(ran) as environment:
            self.assertEqual(sorted(environment.read().split()),
                             ["LC_ALL=C", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "PWD=" + os.getcwd()])

    def test_without_root_samba_clients_are_unknown_with_the_reason(self):
        self.connect_two_sharing_and_one_named()
        # Every Samba lock stays unknown, one for each, and nothing else is said of it: among the
        # processes that refuse this user, smbd is not the only one that might hold it.
        root = os.path.dirname(self.server.share)
        os.chmod(root, 0o755)
        unprivileged = os.path.join(root, "station-scan")
        shutil.copy(STATION_SCAN, unprivileged)
        unknown = "held by a process this user may not look into: run as root"
        self.assertEqual(
            self.holders(*AS_NOBODY, unprivileged),
            [{"record": record, "pid": None, "unknown": unknown} for record in (3, 4, 5, 5, 6)])


def setUpModule():
    global X
    X = XServer()


def tearDownModule():
    X.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
