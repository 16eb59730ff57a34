#include "holders/linux/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

namespace holders {
namespace {

std::string userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

}  // namespace

// glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage for C++.
PinnedProcess::PinnedProcess(std::int64_t pid)
    : pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0))) {
    if (pidfd_.get() < 0 && errno != ESRCH) {
        throw std::system_error(errno, std::system_category(), "pidfd_open");
    }
}

bool PinnedProcess::ended() const {
    if (pidfd_.get() < 0) return true;
    pollfd exited{pidfd_.get(), POLLIN, 0};
    return ::poll(&exited, 1, 0) != 0;
}

std::optional<ProcessFacts> describe(std::int64_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/";
    std::string status;
    ProcessFacts facts;
    if (!readWhole(AT_FDCWD, (folder + "status").c_str(), status) ||
        !readWhole(AT_FDCWD, (folder + "comm").c_str(), facts.command)) {
        return std::nullopt;
    }
    // The kernel ends the name with one line feed of its own; any other byte is the name's.
    if (facts.command.ends_with('\n')) facts.command.pop_back();
    const std::size_t uid = status.find("\nUid:");
    unsigned long id = 0;
    if (uid == std::string::npos || std::sscanf(status.c_str() + uid + 5, "%lu", &id) != 1) {
        return std::nullopt;
    }
    facts.user = userName(static_cast<uid_t>(id));
    return facts;
}

bool seesEveryProcess() {
    // The first pid namespace has a fixed inode number (PROC_PID_INIT_INO); /proc/self is this
    // process as the mounted /proc sees it, so a /proc of another namespace is no first one either.
    constexpr ino_t kFirstPidNamespace = 0xEFFFFFFCU;
    struct stat namespaceFile {};
    return ::stat("/proc/self/ns/pid", &namespaceFile) == 0 &&
           namespaceFile.st_ino == kFirstPidNamespace;
}

}  // namespace holders
