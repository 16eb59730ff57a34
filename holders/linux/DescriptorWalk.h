#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "holders/linux/KernelLocks.h"

// Which processes have the station file open, found through /proc alone. Nothing here calls into
// the file system of a file that another process has open: a descriptor on a hung FUSE or NFS
// mount would leave the look-up waiting in the kernel, beyond even SIGKILL. Only a descriptor
// that /proc already shows to be on the station file's own file system is asked about, and the
// pass has just read that one.
namespace holders {

// The station file as /proc names it for the look-up's own descriptor.
struct StationIdentity {
    int fd;
    dev_t device;  // as stat gives it: on btrfs, the subvolume's
    ino_t inode;
    long long mountId;
    unsigned deviceMajor;  // the file system's, as the mount table and the lock lines give it
    unsigned deviceMinor;
    std::string name;  // the last part of its path
    std::string lockKey;

    // Throws std::system_error when the descriptor cannot be looked at.
    static StationIdentity of(int fd);
};

// One descriptor of one process, in the descriptor table of one of its threads: the process's
// own (task is its pid), or, once its main thread has ended, a live thread's.
struct Descriptor {
    std::int64_t pid;
    int number;
    std::int64_t task;
    auto operator<=>(const Descriptor&) const = default;
};

// A lock on the station file as one descriptor of it shows it (after a fork, every sharer's
// descriptor shows the same open-file-description lock).
struct SeenLock {
    Descriptor descriptor;
    KernelLock lock;
};

struct DescriptorWalk {
    std::vector<SeenLock> locks;
    // Locks through descriptors of another file that the kernel's list names as it names the
    // station file: a file of another btrfs subvolume with the same name and inode number.
    std::vector<SeenLock> elsewhere;
    // The processes whose descriptors were all looked at.
    std::set<std::int64_t> walked;
    // The processes whose descriptors could not be read, with the error.
    std::map<std::int64_t, int> unreadable;

    // The processes of those listed that refused (rather than ended before they were looked at).
    std::vector<std::int64_t> refusing() const;
};

// How a walk picks out the descriptors that may be the station file: by the last part of their
// link text, which rules out nearly all of them at no cost, or by inode number and mount alone,
// which finds the file under another name too (a hard link, a bind mount) but reads every
// descriptor's fdinfo.
enum class Picking { ByName, ByInode };

// Walks the descriptors of every process, or of only those given.
DescriptorWalk walkDescriptors(const StationIdentity& station,
                               const std::optional<std::set<std::int64_t>>& only, Picking picking);

// The locks on the station file that the descriptor shows now; none when it no longer is a
// descriptor of the station file.
std::vector<KernelLock> locksThrough(const StationIdentity& station, const Descriptor& descriptor);

// How many open file descriptions the descriptors have among them, so that an
// open-file-description lock through several of them is counted once for each description. The
// kernel orders descriptions (kcmp), so they are sorted, each process pinned meanwhile. A
// descriptor that the kernel will not compare (kcmp refused, or not built in) is taken to share
// a description with the others: at worst a lock is then reported unseen, never hidden.
int countDescriptions(const std::vector<Descriptor>& descriptors);

}  // namespace holders
