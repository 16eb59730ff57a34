// Windows: record locks are mandatory, so a plain read of a range that another handle holds
// locked fails by itself, with ERROR_LOCK_VIOLATION.
#include "station/PlatformFile.h"

#include <windows.h>

#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "station/windows/SystemCalls.h"
#include "win32/ErrorCategory.h"
#include "win32/Utf16.h"

namespace station {
namespace {

HANDLE openForAccess(SystemCalls& calls, const std::filesystem::path& path, DWORD access,
                     DWORD disposition) {
    // Shared for read, write and delete: the owning application and every workstation go on
    // opening, writing and locking the file while the monitor holds it, and may delete it or
    // rename it away. Before Windows 10 1903 a deleted file stays pending while any handle on it
    // is open, keeping its name taken: the monitor closes its own as soon as it sees that.
    return calls.CreateFileW(path.c_str(), access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE openExisting(SystemCalls& calls, const std::filesystem::path& path, DWORD disposition) {
    return openForAccess(calls, path, GENERIC_READ, disposition);
}

[[noreturn]] void refuse(const std::filesystem::path& path, const char* kind) {
    throw std::system_error(
        ERROR_INVALID_PARAMETER, win32::errorCategory(),
        win32::toUtf8(path.filename().native()) + " is " + kind + ", not a disk file");
}

HANDLE openWithoutWaiting(SystemCalls& calls, const std::filesystem::path& path,
                          WhenMissing whenMissing) {
    HANDLE handle = openExisting(calls, path, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND &&
        whenMissing == WhenMissing::create) {
        // CREATE_NEW rather than OPEN_ALWAYS, so that a dangling symbolic link is not followed
        // and its target created.
        handle = openExisting(calls, path, CREATE_NEW);
        if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
            // Someone created it meanwhile, or it is a dangling link (which fails as not found).
            handle = openExisting(calls, path, OPEN_EXISTING);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        const std::error_code failure = win32::lastError();
        // A directory cannot be opened as a file at all; say so rather than "access denied".
        const DWORD attributes = calls.GetFileAttributesW(path.c_str());
        if (failure.value() == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            refuse(path, "a directory");
        }
        throw std::system_error(failure);
    }
    return handle;
}

const char* fileKind(DWORD type) {
    switch (type) {
        case FILE_TYPE_CHAR:
            return "a character device";
        case FILE_TYPE_PIPE:
            return "a pipe";
        default:
            return "of another kind";
    }
}

// Nothing, with the reason in GetLastError, when the handle cannot be asked.
std::optional<FileIdentity> identityOf(SystemCalls& calls, HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!calls.GetFileInformationByHandle(handle, &information)) return std::nullopt;
    return FileIdentity{
        information.dwVolumeSerialNumber,
        (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

}  // namespace

PlatformFile PlatformFile::openShared(const std::filesystem::path& path, WhenMissing whenMissing,
                                      SystemCalls& calls) {
    const std::optional<FileIdentity> namedBefore = identityAt(path, calls);
    PlatformFile file(openWithoutWaiting(calls, path, whenMissing), calls);
    const DWORD type = calls.GetFileType(file.handle_);
    if (type != FILE_TYPE_DISK) refuse(path, fileKind(type));
    const std::optional<FileIdentity> identity = identityOf(calls, file.handle_);
    if (!identity) win32::throwLastError();
    file.identity_ = followedIdentity(namedBefore, *identity);
    return file;
}

std::optional<FileIdentity> PlatformFile::identityAt(const std::filesystem::path& path,
                                                     SystemCalls& calls) {
    // Attributes only: no read access is asked of the file, and a file pending deletion cannot be
    // opened at all (access denied), so it is named by nothing.
    const HANDLE named = openForAccess(calls, path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (named == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<FileIdentity> identity = identityOf(calls, named);
    calls.CloseHandle(named);
    return identity;
}

NativeHandle PlatformFile::noHandle() noexcept { return INVALID_HANDLE_VALUE; }

PlatformFile::~PlatformFile() {
    if (handle_ != noHandle()) calls_->CloseHandle(handle_);
}

bool PlatformFile::handleGone(const std::error_code& failure) noexcept {
    if (failure.category() != win32::errorCategory()) return false;
    switch (failure.value()) {
        // The share's session dropped: a handle that is not durable does not survive the
        // reconnect, and every later read through it fails.
        case ERROR_NETNAME_DELETED:
        case ERROR_UNEXP_NET_ERR:
        case ERROR_BAD_NETPATH:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

std::error_code PlatformFile::timedOut() noexcept {
    return {ERROR_SEM_TIMEOUT, win32::errorCategory()};
}

bool PlatformFile::linked() const {
    // A deleted file is pending deletion while handles on it remain (before Windows 10 1903 with
    // its name still taken), or, deleted with POSIX semantics or unlinked by a share's server,
    // has no link left: either way it is no longer the file at the path.
    FILE_STANDARD_INFO standard{};
    if (!calls_->GetFileInformationByHandleEx(handle_, FileStandardInfo, &standard,
                                              sizeof standard)) {
        win32::throwLastError();
    }
    return !standard.DeletePending && standard.NumberOfLinks > 0;
}

bool PlatformFile::namedBy(const std::filesystem::path& path) const {
    return identityAt(path, *calls_) == identity_;
}

std::error_code PlatformFile::readUnlessLocked(std::uint64_t offset, std::span<std::byte> buffer,
                                               std::size_t& got) {
    got = 0;
    while (got < buffer.size()) {
        const std::uint64_t at = offset + got;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD read = 0;
        if (!calls_->ReadFile(handle_, buffer.data() + got, static_cast<DWORD>(buffer.size() - got),
                              &read, &position)) {
            const std::error_code failure = win32::lastError();
            // An offset at or past the end: the end of the file, not a failure.
            if (failure.value() == ERROR_HANDLE_EOF) break;
            if (failure.value() == ERROR_LOCK_VIOLATION && got == 0) {
                // A range that holds no byte at all has nothing to lock, whatever a lock past
                // the end covers (Windows lets one reach there): its read reads nothing, so the
                // pass comes to its end.
                LARGE_INTEGER size{};
                if (!calls_->GetFileSizeEx(handle_, &size)) win32::throwLastError();
                if (offset >= static_cast<std::uint64_t>(size.QuadPart)) return {};
            }
            if (failure.value() == ERROR_LOCK_VIOLATION) return failure;
            throw std::system_error(failure);
        }
        if (read == 0) break;
        got += read;
    }
    return {};
}

std::filesystem::path executableFolder() {
    // No length limit of our own: the buffer grows until the whole path fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) win32::throwLastError();
        if (length < path.size()) {
            path.resize(length);
            return std::filesystem::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace station
