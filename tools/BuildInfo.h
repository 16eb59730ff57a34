#pragma once

#include <string_view>

namespace tools {

// The version of the CMake project these programs were built from.
inline constexpr std::string_view kVersion = OSTREVAN_VERSION;

}  // namespace tools
