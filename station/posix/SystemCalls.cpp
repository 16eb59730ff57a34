#include "station/posix/SystemCalls.h"

#include <unistd.h>

namespace station {

std::chrono::steady_clock::time_point now(SystemCalls& calls) { return calls.now(); }

SystemCalls& systemCalls() {
    // Holds no state: every process may share the one table. Never destroyed, since a pass that a
    // closing program does not wait for may still be in a call when the program ends.
    static SystemCalls& calls = *new SystemCalls;
    return calls;
}

int SystemCalls::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int SystemCalls::close(int fd) { return ::close(fd); }

ssize_t SystemCalls::pread(int fd, void* buffer, std::size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
}

int SystemCalls::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }

int SystemCalls::stat(const char* path, struct stat* status) { return ::stat(path, status); }

#ifdef __linux__
int SystemCalls::fstatfs(int fd, struct statfs* fileSystem) { return ::fstatfs(fd, fileSystem); }
#endif

int SystemCalls::getLock(int fd, int command, struct flock* range) {
    return ::fcntl(fd, command, range);
}

std::chrono::steady_clock::time_point SystemCalls::now() {
    return std::chrono::steady_clock::now();
}

}  // namespace station
