#include "holders/linux/ProcFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

namespace holders {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

int openOrThrow(int directory, const char* path, int flags) {
    const int fd = ::openat(directory, path, flags | O_CLOEXEC);
    if (fd < 0 && outOfResources(errno)) {
        throw std::system_error(errno, std::system_category(), path);
    }
    return fd;
}

}  // namespace

bool readWhole(int directory, const char* path, std::string& text) {
    text.clear();
    const FileDescriptor file(openOrThrow(directory, path, O_RDONLY | O_NOCTTY));
    if (file.get() < 0) return false;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

FileDescriptor openFolder(const char* path) {
    return FileDescriptor(openOrThrow(AT_FDCWD, path, O_RDONLY | O_DIRECTORY));
}

std::optional<std::string> readLink(int directory, const char* path) {
    char buffer[4096];
    const ssize_t got = ::readlinkat(directory, path, buffer, sizeof buffer);
    if (got <= 0 || got == static_cast<ssize_t>(sizeof buffer)) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
}

bool parseDecimal(std::string_view text, long long& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool outOfResources(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

}  // namespace holders
