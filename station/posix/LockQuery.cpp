#include "station/posix/LockQuery.h"

#include <cerrno>

#include "station/Failure.h"

namespace station {

struct flock conflictingLock(SystemCalls& calls, int fd, std::uint64_t offset, std::size_t length,
                             bool& openFileDescriptionQueries) {
    auto query = [&](int command, struct flock& range) {
        range = {};
        // A write lock conflicts with locks of either kind, so the query finds shared locks too
        // (Samba maps a client's exclusive lock through a read-only handle onto a shared one).
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(offset);
        range.l_len = static_cast<off_t>(length);
        return calls.getLock(fd, command, &range) == 0;
    };
    struct flock range {};
    if (openFileDescriptionQueries) {
        if (query(F_OFD_GETLK, range)) return range;
        if (errno != EINVAL) throwLastError();
        // An older kernel or a file system that knows only process-associated locks.
        openFileDescriptionQueries = false;
    }
    if (!query(F_GETLK, range)) throwLastError();
    return range;
}

struct flock conflictingLock(NativeHandle file, std::uint64_t offset, std::size_t length,
                             bool& openFileDescriptionQueries) {
    return conflictingLock(systemCalls(), file, offset, length, openFileDescriptionQueries);
}

}  // namespace station
