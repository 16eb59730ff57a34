#include "holders/linux/DescriptorWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>

#include "holders/linux/ProcFiles.h"
#include "holders/linux/Process.h"

namespace holders {
namespace {

constexpr std::string_view kDeletedMark = " (deleted)";

// The last part of a descriptor's link text: a file's name, or "socket:[…]" and the like.
std::string_view lastPart(std::string_view link) {
    if (link.ends_with(kDeletedMark)) link.remove_suffix(kDeletedMark.size());
    const std::size_t slash = link.rfind('/');
    return slash == std::string_view::npos ? link : link.substr(slash + 1);
}

// The value after "label:" on one of an fdinfo's lines.
bool fdinfoNumber(std::string_view fdinfo, std::string_view label, long long& value) {
    for (std::size_t at = 0; at < fdinfo.size();) {
        const std::size_t end = std::min(fdinfo.find('\n', at), fdinfo.size());
        std::string_view line = fdinfo.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(label)) continue;
        line.remove_prefix(label.size());
        const std::size_t start = line.find_first_not_of(" \t");
        return start != std::string_view::npos && parseDecimal(line.substr(start), value);
    }
    return false;
}

// The /proc folder of the thread whose descriptor table holds the descriptor, with a slash:
// /proc/PID/ for the process's own, /proc/PID/task/TID/ for a thread's.
std::string taskFolder(std::int64_t pid, std::int64_t task) {
    std::string folder = "/proc/" + std::to_string(pid) + "/";
    if (task != pid) folder += "task/" + std::to_string(task) + "/";
    return folder;
}

// The device of the file system mounted as mountId, in the mount table that the thread (with
// its folder in /proc) sees.
bool mountDevice(const std::string& taskFolder, long long mountId, unsigned& major,
                 unsigned& minor) {
    std::string table;
    const std::string path = taskFolder + "mountinfo";
    if (!readWhole(AT_FDCWD, path.c_str(), table)) return false;
    for (std::size_t at = 0; at < table.size();) {
        const std::size_t end = std::min(table.find('\n', at), table.size());
        long long id = 0, parent = 0;
        if (std::sscanf(table.substr(at, end - at).c_str(), "%lld %lld %u:%u", &id, &parent, &major,
                        &minor) == 4 &&
            id == mountId) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// What one descriptor is: the station file, another file that the lock lines name as they name
// it, or neither.
enum class Match { Station, SameKey, Other };

// Whether descriptor number of the thread (with its folder in /proc), whose fd folder is open as
// fdFolder, is the station file; with its fdinfo text. The link text (when picking by name), then
// the fdinfo, both from /proc alone, rule out nearly every descriptor; stat is asked only of a
// descriptor on the station file's own file system, where inode numbers can repeat (btrfs
// subvolumes) and only the subvolume's device tells them apart.
Match matchDescriptor(const StationIdentity& station, const std::string& taskFolder, int fdFolder,
                      const char* number, Picking picking, std::string& fdinfo) {
    // By inode, the link text still rules out what is no file of a path (a socket, a pipe), at
    // less cost than the fdinfo. A link whose text cannot be read (a path longer than the kernel
    // gives) is left to the fdinfo.
    if (const std::optional<std::string> link = readLink(fdFolder, number);
        link &&
        (picking == Picking::ByName ? lastPart(*link) != station.name : !link->starts_with('/'))) {
        return Match::Other;
    }
    const std::string path = taskFolder + "fdinfo/" + number;
    long long inode = 0, mount = 0;
    if (!readWhole(AT_FDCWD, path.c_str(), fdinfo) || !fdinfoNumber(fdinfo, "mnt_id:", mount)) {
        return Match::Other;
    }
    // Kernels before 5.14 give no inode here; the checks below then have to do alone.
    if (fdinfoNumber(fdinfo, "ino:", inode) && static_cast<ino_t>(inode) != station.inode) {
        return Match::Other;
    }
    if (mount != station.mountId) {
        // Another mount of it (a bind mount, another mount namespace) still shows its device.
        unsigned major = 0, minor = 0;
        if (!mountDevice(taskFolder, mount, major, minor) || major != station.deviceMajor ||
            minor != station.deviceMinor) {
            return Match::Other;
        }
    }
    struct stat file {};
    if (::fstatat(fdFolder, number, &file, 0) != 0) return Match::Other;
    return file.st_dev == station.device && file.st_ino == station.inode ? Match::Station
                                                                         : Match::SameKey;
}

[[noreturn]] void cannotRun(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

// Walks one descriptor table: the thread's (with its folder in /proc) of the process. Returns
// how many descriptors it lists, or -1, with errno, when it cannot be read.
int walkTable(const StationIdentity& station, std::int64_t pid, std::int64_t task, Picking picking,
              DescriptorWalk& walk) {
    const std::string folder = taskFolder(pid, task);
    const int fdFolder = openFolder((folder + "fd").c_str()).release();
    if (fdFolder < 0) return -1;
    DIR* const descriptors = ::fdopendir(fdFolder);
    if (descriptors == nullptr) {
        ::close(fdFolder);
        cannotRun("/proc/PID/fd");
    }
    int listed = 0;
    while (const dirent* entry = ::readdir(descriptors)) {
        long long number = 0;
        if (!parseDecimal(entry->d_name, number)) continue;
        ++listed;
        std::string fdinfo;
        const Match match =
            matchDescriptor(station, folder, fdFolder, entry->d_name, picking, fdinfo);
        if (match == Match::Other) continue;
        auto& seen = match == Match::Station ? walk.locks : walk.elsewhere;
        for (const KernelLock& lock : locksIn(fdinfo, station.lockKey)) {
            seen.push_back({{pid, static_cast<int>(number), task}, lock});
        }
    }
    ::closedir(descriptors);
    return listed;
}

// Whether two threads share one descriptor table; when the kernel will not say, they are taken
// not to, and both are walked.
bool shareTable(std::int64_t one, std::int64_t other) {
    return ::syscall(SYS_kcmp, static_cast<pid_t>(one), static_cast<pid_t>(other), KCMP_FILES, 0,
                     0) == 0;
}

// Walks the tables of the process's live threads, each table once: where the main thread has
// ended, its own table is gone while the others keep theirs. Returns the error of a table that
// could not be read, or 0.
int walkThreads(const StationIdentity& station, std::int64_t pid, Picking picking,
                DescriptorWalk& walk) {
    DIR* const threads = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (threads == nullptr) return 0;
    std::vector<std::int64_t> walked;
    int refused = 0;
    while (const dirent* entry = ::readdir(threads)) {
        long long task = 0;
        if (!parseDecimal(entry->d_name, task) || task == pid ||
            std::ranges::any_of(walked,
                                [&](std::int64_t other) { return shareTable(task, other); })) {
            continue;
        }
        if (walkTable(station, pid, task, picking, walk) >= 0) {
            walked.push_back(task);
        } else if (errno == EACCES || errno == EPERM) {
            refused = errno;
        }
    }
    ::closedir(threads);
    return refused;
}

// Whether the process's main thread has ended: it then shows as a zombie, whose descriptor table
// the kernel shows to no user but root, though it holds nothing.
bool mainThreadEnded(std::int64_t pid) {
    std::string stat;
    if (!readWhole(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/stat").c_str(), stat)) {
        return false;
    }
    const auto name = stat.rfind(')');
    return name != std::string::npos && name + 2 < stat.size() &&
           (stat[name + 2] == 'Z' || stat[name + 2] == 'X');
}

void walkProcess(const StationIdentity& station, std::int64_t pid, Picking picking,
                 DescriptorWalk& walk) {
    const int listed = walkTable(station, pid, pid, picking, walk);
    if (listed < 0) {
        const int error = errno;
        // A zombie (no thread left) refuses but holds nothing; live threads' tables are walked.
        const int refused = mainThreadEnded(pid) ? walkThreads(station, pid, picking, walk) : error;
        if (refused != 0) {
            walk.unreadable.emplace(pid, refused);
            return;
        }
    } else if (listed == 0) {
        // An empty table is most often a kernel thread's, which has no other thread.
        walkThreads(station, pid, picking, walk);
    }
    walk.walked.insert(pid);
}

}  // namespace

StationIdentity StationIdentity::of(int fd) {
    struct stat file {};
    if (::fstat(fd, &file) != 0) cannotRun("the station file");
    StationIdentity station{fd, file.st_dev, file.st_ino, 0, major(file.st_dev), minor(file.st_dev),
                            {}, {}};
    const std::string self = "/proc/self/fdinfo/" + std::to_string(fd);
    std::string fdinfo;
    if (!readWhole(AT_FDCWD, self.c_str(), fdinfo)) cannotRun("/proc/self/fdinfo");
    if (fdinfoNumber(fdinfo, "mnt_id:", station.mountId)) {
        mountDevice("/proc/self/", station.mountId, station.deviceMajor, station.deviceMinor);
    }
    // Without a name, every holder is found by inode.
    station.name =
        lastPart(readLink(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str()).value_or(""));
    station.lockKey = holders::lockKey(station.deviceMajor, station.deviceMinor, file.st_ino);
    return station;
}

std::vector<std::int64_t> DescriptorWalk::refusing() const {
    std::vector<std::int64_t> pids;
    for (const auto& [pid, error] : unreadable) {
        if (error == EACCES || error == EPERM) pids.push_back(pid);
    }
    return pids;
}

DescriptorWalk walkDescriptors(const StationIdentity& station,
                               const std::optional<std::set<std::int64_t>>& only, Picking picking) {
    DescriptorWalk walk;
    if (only) {
        for (const std::int64_t pid : *only) walkProcess(station, pid, picking, walk);
        return walk;
    }
    DIR* const processes = ::opendir("/proc");
    if (processes == nullptr) cannotRun("/proc");
    while (const dirent* entry = ::readdir(processes)) {
        long long pid = 0;
        if (parseDecimal(entry->d_name, pid)) walkProcess(station, pid, picking, walk);
    }
    ::closedir(processes);
    return walk;
}

std::vector<KernelLock> locksThrough(const StationIdentity& station, const Descriptor& descriptor) {
    const std::string folder = taskFolder(descriptor.pid, descriptor.task);
    const FileDescriptor fdFolder = openFolder((folder + "fd").c_str());
    if (fdFolder.get() < 0) return {};
    std::string fdinfo;
    // A descriptor found by either walk: its name may not be the station file's.
    const Match match =
        matchDescriptor(station, folder, fdFolder.get(), std::to_string(descriptor.number).c_str(),
                        Picking::ByInode, fdinfo);
    return match == Match::Station ? locksIn(fdinfo, station.lockKey) : std::vector<KernelLock>{};
}

namespace {

// kcmp's order of the two descriptors' open file descriptions: below, equal or above 0; none
// when the kernel will not compare them.
std::optional<int> compareDescriptions(const Descriptor& one, const Descriptor& other) {
    const long compared =
        ::syscall(SYS_kcmp, static_cast<pid_t>(one.task), static_cast<pid_t>(other.task), KCMP_FILE,
                  static_cast<unsigned long>(one.number), static_cast<unsigned long>(other.number));
    switch (compared) {
        case 0:
            return 0;
        case 1:
            return -1;
        case 2:
            return 1;
        default:
            return std::nullopt;
    }
}

// A merge sort, which stays within the range whatever its comparisons answer: a descriptor
// closed, or reused for another file, halfway through leaves the order inconsistent, where
// std::sort may run off the range's end.
template <typename Less>
void mergeSort(std::vector<Descriptor>& items, Less less) {
    std::vector<Descriptor> merged(items.size());
    for (std::size_t width = 1; width < items.size(); width *= 2) {
        for (std::size_t left = 0; left < items.size(); left += 2 * width) {
            const auto begin = items.begin() + static_cast<std::ptrdiff_t>(left);
            const auto middle =
                items.begin() + static_cast<std::ptrdiff_t>(std::min(left + width, items.size()));
            const auto end = items.begin() +
                             static_cast<std::ptrdiff_t>(std::min(left + 2 * width, items.size()));
            std::merge(begin, middle, middle, end,
                       merged.begin() + static_cast<std::ptrdiff_t>(left), less);
        }
        items.swap(merged);
    }
}

}  // namespace

int countDescriptions(const std::vector<Descriptor>& descriptors) {
    // Pinned, a process keeps its pid: no other process's descriptors are compared in its stead.
    std::map<std::int64_t, std::optional<PinnedProcess>> pinned;
    for (const Descriptor& descriptor : descriptors) {
        auto& pin = pinned[descriptor.pid];
        if (pin) continue;
        try {
            pin.emplace(descriptor.pid);
        } catch (const std::system_error&) {
            // No descriptor left for the pin: that process's descriptors count as not compared.
        }
    }
    std::vector<Descriptor> compared;
    bool refused = false;
    for (const Descriptor& descriptor : descriptors) {
        const auto& pin = pinned[descriptor.pid];
        if (pin && !pin->ended() && compareDescriptions(descriptor, descriptor) == 0) {
            compared.push_back(descriptor);
        } else {
            refused = true;
        }
    }
    if (compared.empty()) return refused ? 1 : 0;
    mergeSort(compared, [](const Descriptor& one, const Descriptor& other) {
        const std::optional<int> order = compareDescriptions(one, other);
        return order && *order < 0;
    });
    int descriptions = 1;
    for (std::size_t at = 1; at < compared.size(); ++at) {
        // A pair that the kernel will not compare counts as one description.
        const std::optional<int> order = compareDescriptions(compared[at - 1], compared[at]);
        if (order && *order != 0) ++descriptions;
    }
    return descriptions;
}

}  // namespace holders
