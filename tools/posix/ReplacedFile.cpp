#include "tools/ReplacedFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tools {
namespace {

// The process id in `NAME.PID.tmp`, the name of a staging file for the file named name.
std::optional<pid_t> stagingProcess(std::string_view entry, std::string_view name) {
    if (!entry.starts_with(name) || !entry.ends_with(".tmp")) return std::nullopt;
    entry.remove_prefix(name.size());
    entry.remove_suffix(4);
    if (!entry.starts_with('.') || entry.size() < 2) return std::nullopt;
    entry.remove_prefix(1);
    pid_t pid = 0;
    const auto [end, problem] = std::from_chars(entry.data(), entry.data() + entry.size(), pid);
    if (problem != std::errc() || end != entry.data() + entry.size() || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

// A staging file left by an earlier run that was killed before its rename: a plain file of this
// user, named for a process that no longer exists, that begins as this run's contents begin (or
// is empty: killed before it wrote).
bool abandonedStaging(int folder, const char* entry, pid_t pid, std::string_view firstLine) {
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
    const int fd = ::openat(folder, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return false;
    struct stat status {};
    std::string start(firstLine.size(), '\0');
    const bool plain = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                       status.st_uid == ::geteuid() && status.st_nlink == 1;
    const ssize_t read = plain ? ::read(fd, start.data(), start.size()) : -1;
    ::close(fd);
    return read >= 0 &&
           firstLine.starts_with(std::string_view(start).substr(0, static_cast<std::size_t>(read)));
}

// Removes what earlier runs that were killed half-way left beside path. Only a tidy-up: what
// cannot be looked at is left as it is.
void removeAbandonedStaging(const std::filesystem::path& path, std::string_view contents) {
    // Enough to tell a file of ours, and never more than a line.
    const std::string_view firstLine =
        contents.substr(0, std::min(contents.find('\n'), std::size_t{256}));
    const std::filesystem::path parent =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const auto close = [](DIR* opened) { ::closedir(opened); };
    const std::unique_ptr<DIR, decltype(close)> folder(::opendir(parent.c_str()), close);
    if (!folder) return;
    const std::string name = path.filename().string();
    while (const dirent* entry = ::readdir(folder.get())) {
        const auto pid = stagingProcess(entry->d_name, name);
        if (pid && abandonedStaging(::dirfd(folder.get()), entry->d_name, *pid, firstLine)) {
            ::unlinkat(::dirfd(folder.get()), entry->d_name, 0);
        }
    }
}

}  // namespace

void replaceWhole(const std::filesystem::path& path, std::string_view contents) {
    removeAbandonedStaging(path, contents);
    std::filesystem::path staging = path;
    staging += "." + std::to_string(::getpid()) + ".tmp";
    // Every failure names the file asked for: the staging file's name means nothing to a reader.
    const auto fail = [&path](int cause) {
        throw std::system_error(cause, std::system_category(), path.string());
    };
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(staging.c_str(), kFlags, 0644);
    if (fd == -1 && errno == EEXIST) {
        // Left by an earlier run of the same process id that was killed half-way.
        ::unlink(staging.c_str());
        fd = ::open(staging.c_str(), kFlags, 0644);
    }
    if (fd == -1) fail(errno);
    const auto abandon = [&](int cause) {
        if (fd != -1) ::close(fd);
        ::unlink(staging.c_str());
        fail(cause);
    };
    // The collector runs as a user of its own, and our umask may be root's 077.
    if (::fchmod(fd, 0644) == -1) abandon(errno);
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written == -1 && errno == EINTR) continue;
        if (written == -1) abandon(errno);
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    // On the disk before it takes the old file's place: after a crash, the name leads to the
    // old file or the whole new one, never to an empty one.
    if (::fsync(fd) == -1) abandon(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed == -1) abandon(errno);
    if (::rename(staging.c_str(), path.c_str()) == -1) abandon(errno);
}

}  // namespace tools
