// Linux and other POSIX systems: record locks are advisory, so a read first asks the kernel
// whether another process holds a lock over the range it is about to read, and fails if one does.
#include "station/PlatformFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/magic.h>
#endif

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "station/Failure.h"
#include "station/posix/LockQuery.h"
#include "station/posix/SystemCalls.h"

namespace station {
namespace {

const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of another kind";
}

int openWithoutWaiting(SystemCalls& calls, const std::filesystem::path& path,
                       WhenMissing whenMissing) {
    // O_NONBLOCK keeps a FIFO from waiting for a writer; the fstat below then refuses it.
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = calls.open(path.c_str(), kFlags, 0);
    if (fd == -1 && errno == ENOENT && whenMissing == WhenMissing::create) {
        // O_EXCL, so that a dangling symbolic link is not followed and its target created.
        fd = calls.open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
        if (fd == -1 && errno == EEXIST) {
            // Someone created it meanwhile, or it is a dangling link (which fails with ENOENT).
            fd = calls.open(path.c_str(), kFlags, 0);
        }
    }
    if (fd == -1) throwLastError();
    return fd;
}

// The kernel's SMB client answers a lock query by taking the lock on the file server for an
// instant: a monitor there would take locks, and could make a workstation's own lock fail.
bool onSmbMount([[maybe_unused]] SystemCalls& calls, [[maybe_unused]] int fd) {
#ifdef __linux__
    struct statfs fileSystem {};
    if (calls.fstatfs(fd, &fileSystem) == -1) throwLastError();
    const auto type = static_cast<unsigned long>(fileSystem.f_type);
    return type == CIFS_SUPER_MAGIC || type == SMB2_SUPER_MAGIC || type == SMB_SUPER_MAGIC;
#else
    return false;
#endif
}

FileIdentity identityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

PlatformFile PlatformFile::openShared(const std::filesystem::path& path, WhenMissing whenMissing,
                                      SystemCalls& calls) {
    const std::optional<FileIdentity> namedBefore = identityAt(path, calls);
    PlatformFile file(openWithoutWaiting(calls, path, whenMissing), calls);
    struct stat status {};
    if (calls.fstat(file.handle_, &status) == -1) throwLastError();
    if (!S_ISREG(status.st_mode)) {
        throw std::system_error(
            EINVAL, std::system_category(),
            path.filename().string() + " is " + fileKind(status.st_mode) + ", not a regular file");
    }
    if (onSmbMount(calls, file.handle_)) {
        throw std::system_error(EOPNOTSUPP, std::system_category(),
                                path.filename().string() +
                                    " lies on an SMB network mount, where a lock query takes a "
                                    "lock on the server; run the monitor on the file server");
    }
    file.identity_ = followedIdentity(namedBefore, identityOf(status));
    return file;
}

std::optional<FileIdentity> PlatformFile::identityAt(const std::filesystem::path& path,
                                                     SystemCalls& calls) {
    // Through a symbolic link, as the open goes.
    struct stat status {};
    if (calls.stat(path.c_str(), &status) == -1) return std::nullopt;
    return identityOf(status);
}

NativeHandle PlatformFile::noHandle() noexcept { return -1; }

PlatformFile::~PlatformFile() {
    if (handle_ != noHandle()) calls_->close(handle_);
}

bool PlatformFile::handleGone(const std::error_code& failure) noexcept {
    // An NFS file handle that the server no longer knows (the file replaced or the export
    // re-made); FUSE file systems answer so too.
    return failure == std::error_code(ESTALE, std::system_category());
}

std::error_code PlatformFile::timedOut() noexcept { return {ETIMEDOUT, std::system_category()}; }

bool PlatformFile::linked() const {
    // An NFS client keeps a file deleted while open under a name of its own (.nfsXXXX), and a
    // FUSE server may answer for whatever the name now holds: there only namedBy() tells.
    struct stat status {};
    if (calls_->fstat(handle_, &status) == -1) throwLastError();
    return status.st_nlink > 0;
}

bool PlatformFile::namedBy(const std::filesystem::path& path) const {
    return identityAt(path, *calls_) == identity_;
}

bool PlatformFile::lockedByAnother(std::uint64_t offset, std::size_t length) {
    return conflictingLock(*calls_, handle_, offset, length, openFileDescriptionQueries_).l_type !=
           F_UNLCK;
}

std::error_code PlatformFile::readUnlessLocked(std::uint64_t offset, std::span<std::byte> buffer,
                                               std::size_t& got) {
    got = 0;
    // The lock test covers the whole range, also for a partial last record.
    if (lockedByAnother(offset, buffer.size())) {
        // A range that holds no byte at all has nothing to lock, whatever a lock to infinity or
        // over the whole file covers: its read reads nothing, so the pass comes to its end.
        struct stat status {};
        if (calls_->fstat(handle_, &status) == -1) throwLastError();
        if (offset >= static_cast<std::uint64_t>(status.st_size)) return {};
        // What fcntl(F_SETLK) reports for a conflicting lock on Linux.
        return {EAGAIN, std::system_category()};
    }
    while (got < buffer.size()) {
        const ssize_t read = calls_->pread(handle_, buffer.data() + got, buffer.size() - got,
                                           static_cast<off_t>(offset + got));
        if (read == 0) break;
        if (read == -1) {
            if (errno == EINTR) continue;
            throwLastError();
        }
        got += static_cast<std::size_t>(read);
    }
    return {};
}

std::filesystem::path executableFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace station
