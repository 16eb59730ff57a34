#include "tools/ReplacedFile.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "station/windows/WindowsError.h"

namespace tools {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path) {
    const std::error_code failure = station::lastWindowsError();
    throw std::system_error(failure, station::toUtf8(path.native()));
}

}  // namespace

void replaceWhole(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::path staging = path;
    staging += L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    HANDLE file = ::CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    // Every failure names the file asked for: the staging file's name means nothing to a reader.
    if (file == INVALID_HANDLE_VALUE) fail(path);
    bool written = true;
    while (written && !contents.empty()) {
        DWORD done = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(contents.size(), 1 << 20));
        written = ::WriteFile(file, contents.data(), chunk, &done, nullptr) != 0;
        contents.remove_prefix(done);
    }
    // On the disk before it takes the old file's place.
    written = written && ::FlushFileBuffers(file) != 0;
    DWORD cause = written ? ERROR_SUCCESS : ::GetLastError();
    if (!::CloseHandle(file) || !written) {
        if (written) cause = ::GetLastError();
        ::DeleteFileW(staging.c_str());
        ::SetLastError(cause);
        fail(path);
    }
    // Replaces the old file in one step, as a rename over it does on POSIX systems. A collector
    // that has the old file open without sharing its deletion holds it for an instant only.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (::MoveFileExW(staging.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return;
        }
        cause = ::GetLastError();
        if (cause != ERROR_ACCESS_DENIED && cause != ERROR_SHARING_VIOLATION) break;
        ::Sleep(50);
    }
    ::DeleteFileW(staging.c_str());
    ::SetLastError(cause);
    fail(path);
}

}  // namespace tools
