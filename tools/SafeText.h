#pragma once

#include <string>
#include <string_view>

// Names that reach the output come from anyone: a process name is whatever its user set, a
// client's machine name whatever the client sent. These keep such bytes from acting on a terminal
// or breaking a format that requires UTF-8.
namespace tools {

// The text with every byte below 0x20, 0x7f and every byte of invalid UTF-8 written as `\xHH`,
// and the C1 controls (U+0080 to U+009F) and the bidirectional overrides and isolates (U+202A to
// U+202E, U+2066 to U+2069) as `\uHHHH`; also each ASCII character in `alsoEscaped`, as `\xHH`.
std::string escapedForTerminal(std::string_view text, std::string_view alsoEscaped = {});

// The text with each byte of invalid UTF-8 replaced by U+FFFD.
std::string validUtf8(std::string_view text);

}  // namespace tools
