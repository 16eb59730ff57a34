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
#include <string_view>
#include <system_error>

#include "holders/linux/ProcFiles.h"

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

// The device of the file system mounted as mountId, in the mount table that the process sees.
bool mountDevice(std::int64_t pid, long long mountId, unsigned& major, unsigned& minor) {
    std::string table;
    const std::string path = "/proc/" + std::to_string(pid) + "/mountinfo";
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

// Whether descriptor number of the process, whose fd folder is open as fdFolder, is the station
// file; with its fdinfo text. The link text (when picking by name), then the fdinfo, both from
// /proc alone, rule out nearly every descriptor; stat is asked only of a descriptor on the
// station file's own file system, where inode numbers can repeat (btrfs subvolumes) and only the
// subvolume's device tells them apart.
Match matchDescriptor(const StationIdentity& station, std::int64_t pid, int fdFolder,
                      const char* number, Picking picking, std::string& fdinfo) {
    // By inode, the link text still rules out what is no file of a path (a socket, a pipe), at
    // less cost than the fdinfo.
    const std::string link = readLink(fdFolder, number);
    if (picking == Picking::ByName ? lastPart(link) != station.name : !link.starts_with('/')) {
        return Match::Other;
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/fdinfo/" + number;
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
        if (!mountDevice(pid, mount, major, minor) || major != station.deviceMajor ||
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

void walkProcess(const StationIdentity& station, std::int64_t pid, Picking picking,
                 DescriptorWalk& walk) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    const int fdFolder = openFolder(folder.c_str()).release();
    if (fdFolder < 0) {
        walk.unreadable.emplace(pid, errno);
        return;
    }
    DIR* const descriptors = ::fdopendir(fdFolder);
    if (descriptors == nullptr) {
        ::close(fdFolder);
        cannotRun("/proc/PID/fd");
    }
    while (const dirent* entry = ::readdir(descriptors)) {
        long long number = 0;
        if (!parseDecimal(entry->d_name, number)) continue;
        std::string fdinfo;
        const Match match = matchDescriptor(station, pid, fdFolder, entry->d_name, picking, fdinfo);
        if (match == Match::Other) continue;
        auto& seen = match == Match::Station ? walk.locks : walk.elsewhere;
        for (const KernelLock& lock : locksIn(fdinfo, station.lockKey)) {
            seen.push_back({{pid, static_cast<int>(number)}, lock});
        }
    }
    ::closedir(descriptors);
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
        mountDevice(::getpid(), station.mountId, station.deviceMajor, station.deviceMinor);
    }
    station.name = lastPart(readLink(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str()));
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
    const std::string folder = "/proc/" + std::to_string(descriptor.pid) + "/fd";
    const FileDescriptor fdFolder = openFolder(folder.c_str());
    if (fdFolder.get() < 0) return {};
    std::string fdinfo;
    // A descriptor found by either walk: its name may not be the station file's.
    const Match match =
        matchDescriptor(station, descriptor.pid, fdFolder.get(),
                        std::to_string(descriptor.number).c_str(), Picking::ByInode, fdinfo);
    return match == Match::Station ? locksIn(fdinfo, station.lockKey) : std::vector<KernelLock>{};
}

bool shareDescription(const Descriptor& one, const Descriptor& other) {
    if (one == other) return true;
    const long compared =
        ::syscall(SYS_kcmp, static_cast<pid_t>(one.pid), static_cast<pid_t>(other.pid), KCMP_FILE,
                  static_cast<unsigned long>(one.number), static_cast<unsigned long>(other.number));
    if (compared >= 0) return compared == 0;
    // Taken as one, two descriptions that the kernel will not compare may leave one lock said
    // to be unseen, never an unseen lock hidden behind a seen one.
    return true;
}

int countDescriptions(const std::vector<Descriptor>& descriptors) {
    std::vector<Descriptor> descriptions;
    for (const Descriptor& descriptor : descriptors) {
        if (std::ranges::none_of(descriptions, [&](const Descriptor& known) {
                return shareDescription(known, descriptor);
            })) {
            descriptions.push_back(descriptor);
        }
    }
    return static_cast<int>(descriptions.size());
}

}  // namespace holders
