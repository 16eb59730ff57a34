// Linux and other POSIX systems: record locks are advisory, so a read first asks the kernel
// whether another process holds a lock over the range it is about to read.
#include "station/PlatformFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "station/Failure.h"

namespace station {
namespace {

constexpr int kNoHandle = -1;

const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

int openWithoutWaiting(const std::filesystem::path& path) {
    // O_NONBLOCK keeps a FIFO from waiting for a writer; the fstat below then refuses it.
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(path.c_str(), kFlags);
    if (fd == -1 && errno == ENOENT) {
        // O_EXCL, so that a dangling symbolic link is not followed and its target created.
        fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
        if (fd == -1 && errno == EEXIST) {
            // Someone created it meanwhile, or it is a dangling link (which fails with ENOENT).
            fd = ::open(path.c_str(), kFlags);
        }
    }
    if (fd == -1) throwLastError();
    return fd;
}

}  // namespace

PlatformFile PlatformFile::openShared(const std::filesystem::path& path) {
    PlatformFile file(openWithoutWaiting(path));
    struct stat status {};
    if (::fstat(static_cast<int>(file.handle_), &status) == -1) throwLastError();
    if (!S_ISREG(status.st_mode)) {
        throw std::system_error(EINVAL, std::system_category(),
                                path.filename().string() + " is " + fileKind(status.st_mode) +
                                    ", not a regular file");
    }
    return file;
}

PlatformFile::PlatformFile(PlatformFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)),
      openFileDescriptionQueries_(other.openFileDescriptionQueries_) {}

PlatformFile& PlatformFile::operator=(PlatformFile&& other) noexcept {
    std::swap(handle_, other.handle_);
    std::swap(openFileDescriptionQueries_, other.openFileDescriptionQueries_);
    return *this;
}

PlatformFile::~PlatformFile() {
    if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

bool PlatformFile::lockedByAnother(std::uint64_t offset, std::size_t length) {
    const int fd = static_cast<int>(handle_);
    // A write lock conflicts with locks of either kind, so the query finds shared locks too
    // (Samba maps a client's exclusive lock through a read-only handle onto a shared one).
    auto query = [&](int command) {
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(offset);
        range.l_len = static_cast<off_t>(length);
        range.l_pid = 0;
        const int result = ::fcntl(fd, command, &range);
        return std::pair{result, range.l_type != F_UNLCK};
    };
    if (openFileDescriptionQueries_) {
        const auto [result, locked] = query(F_OFD_GETLK);
        if (result == 0) return locked;
        if (errno != EINVAL) throwLastError();
        // An older kernel or a file system that knows only process-associated locks.
        openFileDescriptionQueries_ = false;
    }
    const auto [result, locked] = query(F_GETLK);
    if (result == -1) throwLastError();
    return locked;
}

std::uint64_t PlatformFile::size() const {
    struct stat status {};
    if (::fstat(static_cast<int>(handle_), &status) == -1) throwLastError();
    return static_cast<std::uint64_t>(status.st_size);
}

std::size_t PlatformFile::readUnlessLocked(std::uint64_t offset, std::span<std::byte> buffer) {
    if (lockedByAnother(offset, buffer.size())) {
        // A lock to infinity, or over the whole file, covers ranges that hold no byte at all.
        if (offset >= size()) return 0;
        // What fcntl(F_SETLK) reports for a conflicting lock on Linux.
        throw std::system_error(EAGAIN, std::system_category());
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = ::pread(static_cast<int>(handle_), buffer.data() + done,
                                    buffer.size() - done, static_cast<off_t>(offset + done));
        if (got == 0) break;
        if (got == -1) {
            if (errno == EINTR) continue;
            throwLastError();
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::filesystem::path executableFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace station
