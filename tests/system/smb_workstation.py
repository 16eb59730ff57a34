"""A workstation of the owning application, as an SMB2 client: it opens the station file in a
share and locks ranges of it, prints "ready" and its own TCP port, and holds them until its
standard input closes.

usage: smb_workstation.py PORT SHARE FILE (rw|ro) [--name NAME] LOCK...
LOCK is OFFSET:LENGTH:x (exclusive) or OFFSET:LENGTH:s (shared), in bytes. With --name the
workstation opens a NetBIOS session first and calls itself NAME, as a Windows client does.
"""
import sys

from impacket import nmb, smb3structs as smb2
from impacket.smbconnection import SMBConnection


def lock(connection, tree, file, offset, length, flags):
    # SMB3.lock() joins its elements with str(), which on Python 3 sends no valid request, so
    # the request is built here from the same structures.
    server = connection.getSMBServer()
    element = smb2.SMB2_LOCK_ELEMENT()
    element["Offset"] = offset
    element["Length"] = length
    element["Flags"] = flags | smb2.SMB2_LOCKFLAG_FAIL_IMMEDIATELY
    request = smb2.SMB2Lock()
    request["FileID"] = file
    request["LockCount"] = 1
    request["Locks"] = element.getData()
    packet = server.SMB_PACKET()
    packet["Command"] = smb2.SMB2_LOCK
    packet["TreeID"] = tree
    packet["Data"] = request
    answer = server.recvSMB(server.sendSMB(packet))
    if not answer.isValidAnswer(0):
        raise RuntimeError("lock %d:%d refused" % (offset, length))


def main():
    port, share, path, access = sys.argv[1:5]
    locks = sys.argv[5:]
    name = None
    if locks[:1] == ["--name"]:
        name, locks = locks[1], locks[2:]
        # impacket sends the NetBIOS session request only to the port it takes for NetBIOS's.
        nmb.NETBIOS_SESSION_PORT = int(port)
    connection = SMBConnection("127.0.0.1", "127.0.0.1", myName=name, sess_port=int(port),
                               preferredDialect=smb2.SMB2_DIALECT_21)
    connection.login("guest", "")
    tree = connection.connectTree(share)
    wanted = smb2.FILE_READ_DATA | (smb2.FILE_WRITE_DATA if access == "rw" else 0)
    shared = smb2.FILE_SHARE_READ | smb2.FILE_SHARE_WRITE
    file = connection.openFile(tree, path, desiredAccess=wanted, shareMode=shared)
    for spec in locks:
        offset, length, kind = spec.split(":")
        flags = smb2.SMB2_LOCKFLAG_EXCLUSIVE_LOCK if kind == "x" else smb2.SMB2_LOCKFLAG_SHARED_LOCK
        lock(connection, tree, file, int(offset), int(length), flags)
    own_port = connection.getSMBServer()._NetBIOSSession.get_socket().getsockname()[1]
    print("ready", own_port, flush=True)
    sys.stdin.read()
    connection.close()


if __name__ == "__main__":
    main()
