#pragma once

#include <system_error>

// What every Windows part of the system shares: Windows' own error numbers as failures.
namespace win32 {

// Windows error numbers, described by the system itself (FormatMessageW, in the system's
// language), as UTF-8.
const std::error_category& errorCategory() noexcept;

// The calling thread's last Windows error (GetLastError).
std::error_code lastError() noexcept;
[[noreturn]] void throwLastError();

}  // namespace win32
