#include "holders/linux/KernelLocks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "holders/linux/ProcFiles.h"

namespace holders {
namespace {

// The next blank-separated word of line, which is moved past it.
std::string_view nextWord(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

bool parseOffset(std::string_view text, std::uint64_t& offset) {
    long long value = 0;
    if (!parseDecimal(text, value) || value < 0) return false;
    offset = static_cast<std::uint64_t>(value);
    return true;
}

}  // namespace

std::string lockKey(unsigned deviceMajor, unsigned deviceMinor, std::uint64_t inode) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu", deviceMajor, deviceMinor,
                  static_cast<unsigned long long>(inode));
    return key;
}

std::optional<KernelLock> parseLockLine(std::string_view line, std::string_view key) {
    std::string_view word = nextWord(line);
    if (word == "lock:") word = nextWord(line);  // then the lock's number in the listing
    const std::string_view kind = nextWord(line);
    if (kind != "POSIX" && kind != "OFDLCK") return std::nullopt;  // also a waiter's "->"
    nextWord(line);                                                // ADVISORY or MANDATORY
    const std::string_view type = nextWord(line);
    const std::string_view pid = nextWord(line);
    const std::string_view device = nextWord(line);
    const std::string_view first = nextWord(line);
    const std::string_view last = nextWord(line);
    if (device != key || (type != "READ" && type != "WRITE")) return std::nullopt;
    KernelLock lock{kind == "POSIX" ? LockKind::Classic : LockKind::OpenFileDescription,
                    type == "WRITE",
                    0,
                    {0, kToTheEnd}};
    long long holder = 0;
    if (!parseDecimal(pid, holder) || !parseOffset(first, lock.range.first)) return std::nullopt;
    if (last != "EOF" && !parseOffset(last, lock.range.last)) return std::nullopt;
    lock.pid = holder;
    return lock;
}

std::vector<KernelLock> locksIn(std::string_view listing, std::string_view key) {
    std::vector<KernelLock> locks;
    while (!listing.empty()) {
        const std::size_t end = std::min(listing.find('\n'), listing.size());
        if (auto lock = parseLockLine(listing.substr(0, end), key)) locks.push_back(*lock);
        listing.remove_prefix(std::min(end + 1, listing.size()));
    }
    return locks;
}

namespace {

// One reading of /proc/locks, whole, and whether it came in more than one read.
struct Reading {
    std::string listing;
    bool pieced = false;
};

Reading readListing() {
    const FileDescriptor file(::open("/proc/locks", O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw std::system_error(errno, std::system_category(), "/proc/locks");
    Reading reading;
    int reads = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::system_category(), "/proc/locks");
        }
        reading.listing.append(buffer, static_cast<std::size_t>(got));
        ++reads;
    }
    reading.pieced = reads > 1;
    return reading;
}

}  // namespace

std::vector<KernelLock> listedLocks(std::string_view key) {
    // The kernel gives the list a page at a time, walking it afresh for each read: a lock taken or
    // let go meanwhile anywhere on the machine (a Samba server's own database locks, smbstatus's)
    // can repeat or drop a line at a page's edge. A list of more than a page is read three times,
    // and only the locks that every reading lists count, each as often as the fewest readings
    // list it: a line repeated in one reading is not taken for a lock of its own.
    Reading reading = readListing();
    std::vector<KernelLock> locks = locksIn(reading.listing, key);
    std::ranges::sort(locks);
    for (int again = 0; reading.pieced && again < 2; ++again) {
        reading = readListing();
        std::vector<KernelLock> more = locksIn(reading.listing, key);
        std::ranges::sort(more);
        std::vector<KernelLock> both;
        std::ranges::set_intersection(locks, more, std::back_inserter(both));
        locks = std::move(both);
    }
    return locks;
}

void glanceAtListing() { readListing(); }

std::set<std::int64_t> classicLockHolders() {
    const Reading reading = readListing();
    std::set<std::int64_t> pids;
    for (std::string_view listing = reading.listing; !listing.empty();) {
        const std::size_t end = std::min(listing.find('\n'), listing.size());
        std::string_view line = listing.substr(0, end);
        listing.remove_prefix(std::min(end + 1, listing.size()));
        nextWord(line);                           // the lock's number
        if (nextWord(line) != "POSIX") continue;  // a waiter's "->" too
        nextWord(line);                           // ADVISORY or MANDATORY
        nextWord(line);                           // READ or WRITE
        long long pid = 0;
        if (parseDecimal(nextWord(line), pid) && pid > 0) pids.insert(pid);
    }
    return pids;
}

}  // namespace holders
