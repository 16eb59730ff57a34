"""A process that holds one lock on a file until its standard input closes, as any user's program
can: a classic (process-associated) or an open-file-description lock, shared or exclusive, under
a name of its own choosing (prctl), on a descriptor it may hand to a child (--fork).

usage: lock_holder.py FILE RECORD (posix|ofd) (read|write) [--name NAME] [--fork]
Prints "ready PID..." (its own pid, then its child's) once the lock is held.
"""
import ctypes
import fcntl
import os
import struct
import sys

RECORD = 81
F_OFD_SETLK = 37
PR_SET_NAME = 15


def main():
    path, record, kind, mode = sys.argv[1:5]
    options = sys.argv[5:]
    if "--name" in options:
        name = options[options.index("--name") + 1].encode("utf-8", "surrogateescape")
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_NAME, ctypes.c_char_p(name), 0, 0, 0)
    fd = os.open(path, os.O_RDWR if mode == "write" else os.O_RDONLY)
    start = (int(record) - 1) * RECORD
    if kind == "posix":
        fcntl.lockf(fd, fcntl.LOCK_EX if mode == "write" else fcntl.LOCK_SH, RECORD, start)
    else:
        kind_of_lock = fcntl.F_WRLCK if mode == "write" else fcntl.F_RDLCK
        fcntl.fcntl(fd, F_OFD_SETLK, struct.pack("hh4xqqi4x", kind_of_lock, 0, start, RECORD, 0))
    pids = [os.getpid()]
    if "--fork" in options:
        child = os.fork()
        if child == 0:
            sys.stdin.read()
            os._exit(0)
        pids.append(child)
    print("ready", *pids, flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
