// Windows names no holder of a byte-range lock to another process: the look-up is Linux's.
#include "holders/LockHolders.h"

#include <windows.h>

#include <system_error>

#include "win32/ErrorCategory.h"

namespace holders {

std::vector<Holder> lookUp(station::NativeHandle, std::span<const std::int32_t>,
                           const LookUpOptions&) {
    throw std::system_error(ERROR_NOT_SUPPORTED, win32::errorCategory());
}

}  // namespace holders
