"""A station file served by a private Samba server, as the system tests start one, with SMB2
clients that each lock one record, as the owning application's workstations do. Run as root.

usage: sudo STATION_OWNER=... python3 bench/samba_station.py RECORDS CLIENTS
Prints "ready SHARE CONFIGURATION" once the clients hold their locks, and serves until its
standard input closes. Also a module: served(records, clients) for the figures' scripts.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "system"))
# The test harness asks for every program it may run; these figures run none but station-owner.
for program in ("PROSTREVAN", "STATION_SCAN"):
    os.environ.setdefault(program, "")
from samba_test import SambaServer, Workstation, record  # noqa: E402
from harness import STATION_OWNER  # noqa: E402


@contextlib.contextmanager
def served(records, clients):
    """The server, with a station file of that many records and the clients holding theirs."""
    root = tempfile.mkdtemp(prefix="ostrevan-figures-")
    server = SambaServer(root)
    workstations = []
    try:
        subprocess.run([STATION_OWNER, "create", os.path.join(server.share, "Brevanto.SIT"),
                        str(records)], check=True)
        step = max(1, (records - 1) // clients)
        for number in range(2, records + 1, step)[:clients]:
            workstations.append(Workstation(server, "rw", record(number)))
        yield server
    finally:
        for workstation in workstations:
            workstation.disconnect()
        server.stop()
        shutil.rmtree(root)


def main():
    with served(int(sys.argv[1]), int(sys.argv[2])) as server:
        print("ready", server.share, server.configuration, flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
