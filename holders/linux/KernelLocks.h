#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "holders/Reasons.h"

// The kernel's own words about record locks: the lines of /proc/locks, and the "lock:" lines in a
// descriptor's /proc/PID/fdinfo/N, which name a lock's file by its file system's device and the
// inode number only.
namespace holders {

enum class LockKind { Classic, OpenFileDescription };

// A held record lock. Its pid is the holder's for a classic lock and -1 for an
// open-file-description lock; 0 where a kernel lists a holder this pid namespace cannot see
// (recent kernels leave such locks out of the list).
struct KernelLock {
    LockKind kind;
    bool exclusive;
    std::int64_t pid;
    Range range;
    auto operator<=>(const KernelLock&) const = default;
    bool operator==(const KernelLock&) const = default;
};

// "MAJOR:MINOR:INODE" as the lock lines name a file, the device in hexadecimal: the device is
// the file system's own (a btrfs subvolume's files all carry the one device, whatever stat says).
std::string lockKey(unsigned deviceMajor, unsigned deviceMinor, std::uint64_t inode);

// One line of /proc/locks, or a "lock:" line of an fdinfo, when it is a held record lock on the
// file with that key; waiters ("->"), whole-file flock locks and leases are not.
std::optional<KernelLock> parseLockLine(std::string_view line, std::string_view key);

// The held record locks on the file with that key among the lines of a listing.
std::vector<KernelLock> locksIn(std::string_view listing, std::string_view key);

// The kernel's whole list, /proc/locks, for the file with that key.
std::vector<KernelLock> listedLocks(std::string_view key);

// Reads the kernel's whole list and throws it away. A reading that follows none by more than a few
// milliseconds waits for the kernel to quiesce its list of locks (an RCU grace period, 5 to 15 ms
// on a loaded machine); one that follows another closely is answered at once.
void glanceAtListing();

// The processes that hold a classic lock on any file, as one reading of the kernel's list names
// them (those this pid namespace can see).
std::set<std::int64_t> classicLockHolders();

}  // namespace holders
