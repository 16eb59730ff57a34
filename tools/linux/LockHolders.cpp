// Linux: the kernel's lock list names the process of a classic lock, but an open-file-description
// lock (Samba's kind) only as pid -1; its holder shows in the fdinfo of every process that has
// that description open. Samba's own status then says which client an smbd process serves.
#include "tools/LockHolders.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "station/Failure.h"
#include "station/StationFile.h"
#include "tools/linux/SambaStatus.h"

namespace holders {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNamespaceReason = "held by a process in another pid namespace";
constexpr std::string_view kGoneReason =
    "no longer held: its holder let go or ended after the pass";

Range recordRange(std::int32_t record) {
    const auto first = static_cast<std::uint64_t>(record - 1) * station::kRecordLength;
    return {first, first + station::kRecordLength - 1};
}

// A lock as the kernel lists it in /proc/locks and in a descriptor's fdinfo. Its pid is the
// holder's for a classic lock and -1 for an open-file-description lock; 0 where a kernel lists a
// holder this pid namespace cannot see (recent kernels leave such locks out of the list).
struct KernelLock {
    std::int64_t pid;
    Range range;
};

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The device and inode as the kernel's lock lines name the open file. The device is the file
// system's own, as the mount table gives it: on a btrfs subvolume stat's st_dev is another.
std::string lockKey(int fd, const struct stat& file) {
    unsigned majorDevice = major(file.st_dev);
    unsigned minorDevice = minor(file.st_dev);
    std::string mount;
    std::ifstream fdinfo("/proc/self/fdinfo/" + std::to_string(fd));
    for (std::string label; fdinfo >> label && label != "mnt_id:";) fdinfo.ignore(1 << 16, '\n');
    fdinfo >> mount;
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; !mount.empty() && std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent;
        char colon = 0;
        unsigned mountMajor = 0, mountMinor = 0;
        if (fields >> id >> parent >> mountMajor >> colon >> mountMinor && id == mount &&
            colon == ':') {
            majorDevice = mountMajor;
            minorDevice = mountMinor;
            break;
        }
    }
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu", majorDevice, minorDevice,
                  static_cast<unsigned long long>(file.st_ino));
    return key;
}

// One line of /proc/locks, or a "lock:" line of an fdinfo, when it is a held record lock on the
// file with that key; waiters ("->"), whole-file flock locks and leases are not.
std::optional<KernelLock> parseLockLine(std::string_view line, std::string_view key) {
    std::istringstream words{std::string(line)};
    std::string word;
    words >> word;
    if (word == "lock:") words >> word;
    std::string kind, mode, type, pid, device, first, last;
    words >> kind;
    if (kind == "->") return std::nullopt;
    words >> mode >> type >> pid >> device >> first >> last;
    if (!words || device != key || (kind != "POSIX" && kind != "OFDLCK")) return std::nullopt;
    KernelLock lock{};
    if (!parseNumber(pid, lock.pid) || !parseNumber(first, lock.range.first)) return std::nullopt;
    if (last == "EOF") {
        lock.range.last = std::numeric_limits<std::uint64_t>::max();
    } else if (!parseNumber(last, lock.range.last)) {
        return std::nullopt;
    }
    return lock;
}

// The record locks on the file that a lock listing holds; a listing that cannot be read (its
// process ended) holds none.
std::vector<KernelLock> readLocks(const fs::path& listing, std::string_view key) {
    std::vector<KernelLock> locks;
    std::ifstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (auto lock = parseLockLine(line, key)) locks.push_back(*lock);
    }
    return locks;
}

bool sameFile(const fs::path& path, const struct stat& file) {
    struct stat found {};
    return ::stat(path.c_str(), &found) == 0 && found.st_dev == file.st_dev &&
           found.st_ino == file.st_ino;
}

// One descriptor of one process that has the station file open.
struct Descriptor {
    std::int64_t pid;
    std::string number;
    fs::path fdinfo() const { return fs::path("/proc") / std::to_string(pid) / "fdinfo" / number; }
    fs::path link() const { return fs::path("/proc") / std::to_string(pid) / "fd" / number; }
};

// Every open-file-description lock on the file, with the descriptor it shows through; and
// whether some process refused to show its descriptors.
struct DescriptorWalk {
    std::vector<std::pair<Descriptor, KernelLock>> locks;
    bool refused = false;
};

DescriptorWalk walkDescriptors(const struct stat& file, std::string_view key) {
    DescriptorWalk walk;
    std::error_code ignored;
    for (const auto& process : fs::directory_iterator("/proc", ignored)) {
        std::int64_t pid = 0;
        if (!parseNumber(process.path().filename().native(), pid)) continue;
        std::error_code refusal;
        fs::directory_iterator descriptors(process.path() / "fd", refusal);
        if (refusal == std::errc::permission_denied ||
            refusal == std::errc::operation_not_permitted) {
            walk.refused = true;
        }
        // Only the descriptors of the station file are read further.
        for (; !refusal && descriptors != fs::directory_iterator();
             descriptors.increment(refusal)) {
            if (!sameFile(descriptors->path(), file)) continue;
            const Descriptor descriptor{pid, descriptors->path().filename().native()};
            for (const KernelLock& lock : readLocks(descriptor.fdinfo(), key)) {
                // Classic locks show through their descriptor too; those are taken from the
                // kernel's list, which names their process.
                if (lock.pid == -1) walk.locks.emplace_back(descriptor, lock);
            }
        }
    }
    return walk;
}

// An open descriptor, closed with its owner; -1 is none.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// A process held by its pidfd, so that a pid reused by another process cannot pass for it: what
// is read about it is trusted only while it has not ended.
class PinnedProcess {
  public:
    explicit PinnedProcess(std::int64_t pid)
        // glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage for C++.
        : pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0))) {}
    bool ended() const {
        if (pidfd_.get() < 0) return true;
        pollfd exited{pidfd_.get(), POLLIN, 0};
        return ::poll(&exited, 1, 0) != 0;
    }

  private:
    FileDescriptor pidfd_;
};

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

struct ProcessFacts {
    std::string command;
    std::string user;
};

// The command name and the real user: the one who started the process, which stays put while
// smbd switches its effective user from request to request.
std::optional<ProcessFacts> describe(std::int64_t pid) {
    const fs::path folder = fs::path("/proc") / std::to_string(pid);
    ProcessFacts facts{readFirstLine(folder / "comm"), {}};
    std::ifstream status(folder / "status");
    for (std::string line; std::getline(status, line);) {
        uid_t uid = 0;
        std::istringstream fields(line);
        std::string label;
        if (fields >> label >> uid && label == "Uid:") facts.user = userName(uid);
    }
    if (facts.command.empty() || facts.user.empty()) return std::nullopt;
    return facts;
}

// Why a record locked in the pass has no lock of this machine's processes on it now; the kernel
// still answers whether it is held, and by whom as far as it knows.
std::string reasonWithoutLocalLock(int fd, std::int32_t record) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = static_cast<off_t>(recordRange(record).first);
    probe.l_len = station::kRecordLength;
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
        std::string reason = "the kernel would not say: ";
        return reason.append(std::generic_category().message(errno));
    }
    if (probe.l_type == F_UNLCK) return std::string(kGoneReason);
    // The kernel's list leaves out the locks of processes that this pid namespace cannot see, and
    // a file server's other clients are not in it at all; the lock query gives both as 0, and an
    // NFSv3 client's process as below -1.
    struct statfs system {};
    if (::fstatfs(fd, &system) == 0 && system.f_type == NFS_SUPER_MAGIC) {
        return "held by another machine, through NFS";
    }
    if (probe.l_pid == 0) return std::string(kNamespaceReason);
    if (probe.l_pid < -1) return "held by another machine, through NFS";
    return "taken during the look-up: run it again";
}

// Why an open-file-description lock has no process to show for it.
std::string reasonForUnseenDescription(bool refused) {
    if (!refused) return std::string(kGoneReason);
    if (::geteuid() != 0) return std::string(kPrivilegeReason);
    return "held by a process that refuses to show its descriptors";
}

// A process that seemed to hold a lock on the record, and the descriptor it showed it through
// when the lock is an open-file-description lock.
struct Candidate {
    std::int64_t pid;
    std::optional<Descriptor> descriptor;
};

struct RecordLook {
    std::int32_t record;
    std::vector<Candidate> candidates;
    // One for each lock that cannot be put down to a process, and one when the record's holder
    // is gone.
    std::vector<std::string> unknowns;

    void addUnknown(std::string reason) {
        if (reason != kGoneReason ||
            std::find(unknowns.begin(), unknowns.end(), kGoneReason) == unknowns.end()) {
            unknowns.push_back(std::move(reason));
        }
    }
    void addGone() { addUnknown(std::string(kGoneReason)); }

    void add(Candidate candidate) {
        const bool known =
            std::any_of(candidates.begin(), candidates.end(),
                        [&](const Candidate& seen) { return seen.pid == candidate.pid; });
        if (!known) candidates.push_back(std::move(candidate));
    }
};

bool holdsAny(const std::vector<KernelLock>& locks, std::int64_t pid, const Range& range) {
    return std::any_of(locks.begin(), locks.end(), [&](const KernelLock& lock) {
        return lock.pid == pid && lock.range.overlaps(range);
    });
}

// Who seems to hold each record: the kernel's list names classic holders; the descriptors name
// the holders of open-file-description locks, matched to the list by their range.
std::vector<RecordLook> seemingHolders(int fd, const struct stat& file, std::string_view key,
                                       std::span<const std::int32_t> records) {
    const std::vector<KernelLock> listed = readLocks("/proc/locks", key);
    const bool descriptionLocks = std::any_of(
        listed.begin(), listed.end(), [](const KernelLock& lock) { return lock.pid == -1; });
    const DescriptorWalk walk = descriptionLocks ? walkDescriptors(file, key) : DescriptorWalk{};
    std::vector<RecordLook> looks;
    for (const std::int32_t record : records) {
        RecordLook look{record, {}, {}};
        const Range range = recordRange(record);
        bool anyLock = false;
        for (const KernelLock& lock : listed) {
            if (!lock.range.overlaps(range)) continue;
            anyLock = true;
            if (lock.pid > 0) {
                look.add({lock.pid, std::nullopt});
            } else if (lock.pid == 0) {
                look.addUnknown(std::string(kNamespaceReason));
            } else {
                bool shown = false;
                for (const auto& [descriptor, held] : walk.locks) {
                    if (held.range.first != lock.range.first ||
                        held.range.last != lock.range.last) {
                        continue;
                    }
                    look.add({descriptor.pid, descriptor});
                    shown = true;
                }
                if (!shown) look.addUnknown(reasonForUnseenDescription(walk.refused));
            }
        }
        if (!anyLock) look.addUnknown(reasonWithoutLocalLock(fd, record));
        std::ranges::sort(look.candidates, {}, &Candidate::pid);
        looks.push_back(std::move(look));
    }
    return looks;
}

// Keeps only the candidates that still hold their record, asked again after every candidate was
// pinned, and describes them.
std::map<std::int64_t, ProcessFacts> confirm(std::vector<RecordLook>& looks,
                                             const struct stat& file, std::string_view key) {
    const bool classic = std::ranges::any_of(looks, [](const RecordLook& look) {
        return std::ranges::any_of(
            look.candidates, [](const Candidate& candidate) { return !candidate.descriptor; });
    });
    const std::vector<KernelLock> relisted =
        classic ? readLocks("/proc/locks", key) : std::vector<KernelLock>{};
    // Each descriptor is read again once, however many records it holds.
    std::map<std::pair<std::int64_t, std::string>, std::vector<KernelLock>> reread;
    const auto locksNowThrough = [&](const Descriptor& descriptor) -> const auto& {
        auto [locks, added] = reread.try_emplace({descriptor.pid, descriptor.number});
        if (added && sameFile(descriptor.link(), file)) {
            locks->second = readLocks(descriptor.fdinfo(), key);
        }
        return locks->second;
    };
    std::map<std::int64_t, ProcessFacts> described;
    for (RecordLook& look : looks) {
        const Range range = recordRange(look.record);
        std::erase_if(look.candidates, [&](const Candidate& candidate) {
            const bool holds = candidate.descriptor
                                   ? holdsAny(locksNowThrough(*candidate.descriptor), -1, range)
                                   : holdsAny(relisted, candidate.pid, range);
            if (holds && !described.contains(candidate.pid)) {
                if (auto facts = describe(candidate.pid)) described.emplace(candidate.pid, *facts);
            }
            const bool confirmed = holds && described.contains(candidate.pid);
            if (!confirmed) look.addGone();
            return !confirmed;
        });
    }
    return described;
}

}  // namespace

std::vector<Holder> lookUp(const fs::path& stationFile, std::span<const std::int32_t> records,
                           const LookUpOptions& options) {
    std::vector<Holder> holders;
    if (records.empty()) return holders;
    // A descriptor of its own for the lock queries; this process holds no lock on the file, so
    // closing it afterwards releases nothing.
    const int opened = ::open(stationFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (opened < 0) station::throwLastError();
    const FileDescriptor fd(opened);
    struct stat file {};
    if (::fstat(fd.get(), &file) != 0) station::throwLastError();
    const std::string key = lockKey(fd.get(), file);

    std::vector<RecordLook> looks = seemingHolders(fd.get(), file, key, records);
    // A pid is trusted only if it still holds the record after it was pinned, and has not ended
    // by the end of the look-up: a pid reused meanwhile is never named.
    std::map<std::int64_t, PinnedProcess> pinned;
    for (const RecordLook& look : looks) {
        for (const Candidate& candidate : look.candidates) {
            pinned.try_emplace(candidate.pid, candidate.pid);
        }
    }
    const std::map<std::int64_t, ProcessFacts> described = confirm(looks, file, key);
    const bool sambaHolders = std::ranges::any_of(
        described, [](const auto& process) { return process.second.command.starts_with("smbd"); });
    const SambaStatus samba =
        sambaHolders ? SambaStatus::ask(options.sambaConfiguration, file.st_dev, file.st_ino)
                     : SambaStatus{};

    for (RecordLook& look : looks) {
        for (const Candidate& candidate : look.candidates) {
            if (pinned.at(candidate.pid).ended()) {
                look.addGone();
                continue;
            }
            const ProcessFacts& process = described.at(candidate.pid);
            Holder holder{look.record,  candidate.pid, process.command,
                          process.user, std::nullopt,  {}};
            if (process.command.starts_with("smbd")) {
                auto client = samba.clientOf(candidate.pid, recordRange(look.record));
                if (auto* known = std::get_if<SambaClient>(&client)) {
                    holder.client = std::move(*known);
                } else {
                    holder.unknown = std::get<std::string>(std::move(client));
                }
            }
            holders.push_back(std::move(holder));
        }
        for (const std::string& reason : look.unknowns) {
            holders.push_back({look.record, std::nullopt, {}, {}, std::nullopt, reason});
        }
    }
    return holders;
}

}  // namespace holders
