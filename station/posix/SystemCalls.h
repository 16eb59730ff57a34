#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <chrono>
#include <cstddef>

#include "station/PlatformFile.h"

namespace station {

// Every call that the station code makes to a POSIX system, one entry each, taking and returning
// what the system's call of the same name does (errno set on failure). The operating system's
// table (systemCalls()) makes the calls themselves; a test derives from it and replaces the calls
// it means to fail, passing the rest on, so that faults a machine makes rarely or only with root
// (a stale NFS handle, a failing disk, a file unlinked under the open descriptor) meet the station
// code where the system's own would.
class SystemCalls {
  public:
    virtual ~SystemCalls() = default;

    virtual int open(const char* path, int flags, mode_t mode);
    virtual int close(int fd);
    virtual ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset);
    // The identity checks: of the open file, and of what its path names.
    virtual int fstat(int fd, struct stat* status);
    virtual int stat(const char* path, struct stat* status);
#ifdef __linux__
    // Which file system the open file lies on.
    virtual int fstatfs(int fd, struct statfs* fileSystem);
#endif
    // The lock query: fcntl with F_OFD_GETLK or F_GETLK.
    virtual int getLock(int fd, int command, struct flock* range);
    // The clock for the time-outs of calls to the file, so that a test moves time on instead of
    // waiting it out.
    virtual std::chrono::steady_clock::time_point now();
};

}  // namespace station
