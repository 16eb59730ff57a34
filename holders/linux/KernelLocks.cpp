#include "holders/linux/KernelLocks.h"

#include <fcntl.h>

#include <cstdio>
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

std::vector<KernelLock> listedLocks(std::string_view key) {
    std::string listing;
    if (!readWhole(AT_FDCWD, "/proc/locks", listing)) {
        throw std::system_error(errno, std::system_category(), "/proc/locks");
    }
    return locksIn(listing, key);
}

}  // namespace holders
