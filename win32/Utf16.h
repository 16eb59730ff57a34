#pragma once

#include <string>
#include <string_view>

namespace win32 {

// Between Windows' UTF-16 and the UTF-8 that the rest of the system speaks.
std::string toUtf8(std::wstring_view text);
std::wstring toWide(std::string_view text);

}  // namespace win32
