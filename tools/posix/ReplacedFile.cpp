#include "tools/ReplacedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tools {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path) {
    throw std::system_error(errno, std::system_category(), path.string());
}

}  // namespace

void replaceWhole(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::path staging = path;
    staging += "." + std::to_string(::getpid()) + ".tmp";
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(staging.c_str(), kFlags, 0644);
    if (fd == -1 && errno == EEXIST) {
        // Left by an earlier run of the same process id that was killed half-way.
        ::unlink(staging.c_str());
        fd = ::open(staging.c_str(), kFlags, 0644);
    }
    if (fd == -1) fail(staging);
    const auto abandon = [&] {
        const int cause = errno;
        ::close(fd);
        ::unlink(staging.c_str());
        errno = cause;
        fail(staging);
    };
    // The collector runs as a user of its own, and our umask may be root's 077.
    if (::fchmod(fd, 0644) == -1) abandon();
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written == -1 && errno == EINTR) continue;
        if (written == -1) abandon();
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) == -1) {
        const int cause = errno;
        ::unlink(staging.c_str());
        errno = cause;
        fail(staging);
    }
    if (::rename(staging.c_str(), path.c_str()) == -1) {
        const int cause = errno;
        ::unlink(staging.c_str());
        errno = cause;
        fail(path);
    }
}

}  // namespace tools
