#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace station {

// Windows error numbers, described by the system itself (FormatMessageW, in the system's
// language), as UTF-8.
const std::error_category& windowsCategory() noexcept;

// The calling thread's last Windows error (GetLastError).
std::error_code lastWindowsError() noexcept;
[[noreturn]] void throwLastWindowsError();

// Between Windows' UTF-16 and the UTF-8 that the station code speaks.
std::string toUtf8(std::wstring_view text);
std::wstring toWide(std::string_view text);

}  // namespace station
