#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>

#include "station/posix/SystemCalls.h"

namespace station {

// station::conflictingLock (see PlatformFile.h), asked through calls.
struct flock conflictingLock(SystemCalls& calls, int fd, std::uint64_t offset, std::size_t length,
                             bool& openFileDescriptionQueries);

}  // namespace station
