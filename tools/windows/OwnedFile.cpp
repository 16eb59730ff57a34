// Windows: LockFileEx locks, mandatory, as the owning application takes them there.
#include "tools/OwnedFile.h"

#include <windows.h>

#include <limits>

#include "win32/ErrorCategory.h"

namespace owner {
namespace {

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Windows locks have no "to infinity": the longest range from start stands for it.
std::uint64_t lockedLength(ByteRange range) {
    return range.length != 0 ? range.length
                             : std::numeric_limits<std::uint64_t>::max() - range.start;
}

}  // namespace

OwnedFile::OwnedFile(const std::filesystem::path& path)
    : handle_(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE) win32::throwLastError();
}

OwnedFile::~OwnedFile() { ::CloseHandle(handle_); }

std::uint64_t OwnedFile::size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size)) win32::throwLastError();
    return static_cast<std::uint64_t>(size.QuadPart);
}

void OwnedFile::write(std::uint64_t offset, std::span<const std::byte> bytes) {
    OVERLAPPED position = at(offset);
    DWORD written = 0;
    if (!::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     &position) ||
        written != bytes.size()) {
        win32::throwLastError();
    }
}

void OwnedFile::truncate(std::uint64_t bytes) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
    if (!::SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end)) {
        win32::throwLastError();
    }
}

void OwnedFile::lock(ByteRange range) {
    OVERLAPPED position = at(range.start);
    const std::uint64_t length = lockedLength(range);
    if (!::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &position)) {
        win32::throwLastError();
    }
}

void OwnedFile::unlock(ByteRange range) {
    OVERLAPPED position = at(range.start);
    const std::uint64_t length = lockedLength(range);
    if (!::UnlockFileEx(handle_, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                        &position)) {
        win32::throwLastError();
    }
}

}  // namespace owner
