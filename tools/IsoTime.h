#pragma once

#include <optional>
#include <string_view>

namespace tools {

// Seconds since 1970 of an ISO 8601 time with a zone, `2026-12-09T08:57:57.088104+00:00`, as
// Samba gives when a client opened a file; none for any other text.
std::optional<double> secondsSinceEpoch(std::string_view iso);

}  // namespace tools
