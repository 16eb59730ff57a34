// POSIX: classic, process-associated fcntl locks, as a typical Unix program takes them.
#include "tools/OwnedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "station/Failure.h"

namespace owner {
namespace {

void setLock(int fd, ByteRange range, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(range.start);
    lock.l_len = static_cast<off_t>(range.length);
    if (::fcntl(fd, F_SETLK, &lock) == -1) station::throwLastError();
}

}  // namespace

OwnedFile::OwnedFile(const std::filesystem::path& path)
    : handle_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (handle_ == -1) station::throwLastError();
}

OwnedFile::~OwnedFile() { ::close(handle_); }

std::uint64_t OwnedFile::size() const {
    struct stat status {};
    if (::fstat(handle_, &status) == -1) station::throwLastError();
    return static_cast<std::uint64_t>(status.st_size);
}

void OwnedFile::write(std::uint64_t offset, std::span<const std::byte> bytes) {
    const ssize_t written =
        ::pwrite(handle_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written != static_cast<ssize_t>(bytes.size())) station::throwLastError();
}

void OwnedFile::truncate(std::uint64_t bytes) {
    if (::ftruncate(handle_, static_cast<off_t>(bytes)) == -1) {
        station::throwLastError();
    }
}

void OwnedFile::lock(ByteRange range) { setLock(handle_, range, F_WRLCK); }

void OwnedFile::unlock(ByteRange range) { setLock(handle_, range, F_UNLCK); }

}  // namespace owner
