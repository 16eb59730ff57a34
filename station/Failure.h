#pragma once

#include <string>
#include <system_error>

namespace station {

// A failure as the system reports it carries the platform's number and description. Every failure
// is a std::system_error; these helpers turn the rest of what the standard library may throw into
// one, so that handlers can report a number for it too.

// The failure being handled, inside a catch block. Rethrows what is not a failure.
std::system_error currentFailure();

// The failure's number in decimal, as the system shows it.
std::string failureNumber(const std::system_error& failure);

// The platform's description of the failure (with what the system adds in front, if anything).
std::string failureDescription(const std::system_error& failure);

// A failure of the operating system, from errno.
[[noreturn]] void throwLastError();

}  // namespace station
