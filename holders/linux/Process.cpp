#include "holders/linux/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>
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

std::optional<std::string> commandOf(std::int64_t pid) {
    std::string command;
    if (!readWhole(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/comm").c_str(), command)) {
        return std::nullopt;
    }
    // The kernel ends the name with one line feed of its own; any other byte is the name's.
    if (command.ends_with('\n')) command.pop_back();
    return command;
}

std::optional<ProcessFacts> describe(std::int64_t pid) {
    std::string status;
    if (!readWhole(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/status").c_str(), status)) {
        return std::nullopt;
    }
    std::optional<std::string> command = commandOf(pid);
    if (!command) return std::nullopt;
    ProcessFacts facts{std::move(*command), {}};
    const std::size_t uid = status.find("\nUid:");
    unsigned long id = 0;
    if (uid == std::string::npos || std::sscanf(status.c_str() + uid + 5, "%lu", &id) != 1) {
        return std::nullopt;
    }
    facts.user = userName(static_cast<uid_t>(id));
    return facts;
}

std::optional<std::set<std::int64_t>> withDescendants(const std::set<std::int64_t>& pids) {
    if (::access("/proc/thread-self/children", R_OK) != 0) return std::nullopt;
    std::set<std::int64_t> found;
    std::vector<std::int64_t> toVisit(pids.begin(), pids.end());
    while (!toVisit.empty()) {
        const std::int64_t pid = toVisit.back();
        toVisit.pop_back();
        if (!found.insert(pid).second) continue;
        // Each thread lists the children it forked itself.
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        const std::unique_ptr<DIR, int (*)(DIR*)> threads(::opendir(tasks.c_str()), ::closedir);
        if (!threads) {
            if (outOfResources(errno)) {
                throw std::system_error(errno, std::system_category(), tasks);
            }
            continue;  // ended meanwhile
        }
        while (const dirent* entry = ::readdir(threads.get())) {
            std::string children;
            if (entry->d_name[0] == '.' ||
                !readWhole(AT_FDCWD, (tasks + "/" + entry->d_name + "/children").c_str(),
                           children)) {
                continue;
            }
            for (std::size_t at = 0; at < children.size();) {
                const std::size_t end = std::min(children.find(' ', at), children.size());
                long long child = 0;
                if (parseDecimal(std::string_view(children).substr(at, end - at), child)) {
                    toVisit.push_back(child);
                }
                at = end + 1;
            }
        }
    }
    return found;
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
