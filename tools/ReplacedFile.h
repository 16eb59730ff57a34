#pragma once

#include <filesystem>
#include <string_view>

namespace tools {

// Writes contents to a new file in path's folder (named so that a collector reading `*.prom`
// files passes it by), readable by everyone, then puts it in path's place in one step: a reader
// of path finds the old file or the new one, whole, never part of one. Throws std::system_error
// that names path, leaving path as it was. On POSIX systems the new file is on the disk before it
// takes path's place, and staging files of earlier runs that were killed half-way are removed:
// this user's, named for a process that has ended, beginning as contents begin. Each operating
// system has its own implementation file.
void replaceWhole(const std::filesystem::path& path, std::string_view contents);

}  // namespace tools
