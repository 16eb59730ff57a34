#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>

namespace station {

// Asks the kernel which lock of another process or open file description would conflict with a
// write lock on [offset, offset + length) of fd: one of either kind, shared ones included. The
// answer's l_type is F_UNLCK when there is none; otherwise l_pid names the holder as this pid
// namespace sees it (0 outside it, -1 for an open-file-description lock). Asks with F_OFD_GETLK,
// and where the kernel or the file system refuses that kind (EINVAL) with F_GETLK, from then on
// for this caller (openFileDescriptionQueries goes false). Throws the system's error otherwise.
struct flock conflictingLock(int fd, std::uint64_t offset, std::size_t length,
                             bool& openFileDescriptionQueries);

}  // namespace station
