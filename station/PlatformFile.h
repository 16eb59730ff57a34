#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#ifndef _WIN32
#include <fcntl.h>
#endif

namespace station {

// An open file as the operating system knows it: a POSIX descriptor, a Windows HANDLE.
#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// The table of every call that the station code makes to the operating system: its open, read,
// lock query, identity checks and clock. Each platform's own, in station/posix/SystemCalls.h and
// station/windows/SystemCalls.h; a test replaces calls of it to make faults happen.
class SystemCalls;
// The operating system's own calls.
SystemCalls& systemCalls();
// The time by the clock of calls, for time-outs of calls to the file.
std::chrono::steady_clock::time_point now(SystemCalls& calls);

// What opening does when the file is missing: the monitor creates it empty, as the owning
// application's own start would; a probe only looks and never writes.
enum class WhenMissing { create, fail };

// Which file a handle or a name leads to: the same file gives the same identity through every
// handle, name and link, and another file another identity. POSIX: device and inode; Windows:
// volume serial number and file index.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The one seam between the station code and the operating system. Each operating system has its
// own implementation file; everything above it is the same everywhere.
class PlatformFile {
  public:
    // Opens a file for reading, shared with every other process and without a lock of its own,
    // creating it empty when it is missing unless told to fail. Anything but a regular file is
    // refused, and opening never waits (a FIFO in its place must not hang the caller).
    static PlatformFile openShared(const std::filesystem::path& path,
                                   WhenMissing whenMissing = WhenMissing::create,
                                   SystemCalls& calls = systemCalls());

    // Whether a failure of a read says that the open file itself is gone (a file handle gone
    // stale, a network session dropped) rather than that one read went wrong: only a new open of
    // the path can read the file again.
    static bool handleGone(const std::error_code& failure) noexcept;
    // The platform's failure for a call that did not return in time.
    static std::error_code timedOut() noexcept;

    PlatformFile(PlatformFile&& other) noexcept
        : handle_(std::exchange(other.handle_, noHandle())),
          calls_(other.calls_),
          identity_(other.identity_),
          openFileDescriptionQueries_(other.openFileDescriptionQueries_) {}
    PlatformFile& operator=(PlatformFile&& other) noexcept {
        std::swap(handle_, other.handle_);
        std::swap(calls_, other.calls_);
        std::swap(identity_, other.identity_);
        std::swap(openFileDescriptionQueries_, other.openFileDescriptionQueries_);
        return *this;
    }
    PlatformFile(const PlatformFile&) = delete;
    PlatformFile& operator=(const PlatformFile&) = delete;
    ~PlatformFile();

    // Reads up to buffer.size() bytes from offset into buffer and sets `got` to how many there
    // were. Fails while another process holds a lock on any byte of [offset, offset +
    // buffer.size()), except when no byte at offset exists: a range wholly past the end holds
    // nothing to lock. That failure, and only that one, is returned rather than thrown, since on
    // a busy station file a locked record is the common case, not an exceptional one; every
    // other failure of the read is thrown, so that it is never taken for a lock.
    [[nodiscard]] std::error_code readUnlessLocked(std::uint64_t offset,
                                                   std::span<std::byte> buffer, std::size_t& got);

    // Whether the open file still has a name: false once it is deleted, and on Windows also while
    // its deletion is pending (the name then stays taken until every handle on it is closed).
    // One question to the system about the open handle: one round trip on a share. Throws the
    // system's failure when it cannot be asked.
    bool linked() const;

    // Whether path names this very file now. False when it names another file, or nothing, or
    // cannot be asked: an open of the path then says why. POSIX: a stat of the path; Windows: an
    // open of the path for its attributes only, and its file information.
    bool namedBy(const std::filesystem::path& path) const;

    // The open file as the platform knows it (a POSIX descriptor, a Windows HANDLE), lent to
    // code that asks the system more about the same file; it stays this object's.
    NativeHandle nativeHandle() const { return handle_; }

  private:
    // No open file: -1 as a POSIX descriptor, Windows' INVALID_HANDLE_VALUE.
    static NativeHandle noHandle() noexcept;

    // Which file path names now; nothing when it names none or cannot be asked. POSIX: a stat of
    // the path; Windows: an open of the path for its attributes only, and its file information.
    static std::optional<FileIdentity> identityAt(const std::filesystem::path& path,
                                                  SystemCalls& calls);

    // The identity an open file is followed by: its handle's, unless the path named another file
    // just before the open. A file server that knows files only by their names (a FUSE file
    // system such as sshfs, or a share served from one) answers every question about an open
    // handle with the file under the name now: when a file is renamed over the name while the
    // open is being answered, the handle reads the file from before and reports the new one.
    // Keeping the earlier identity, the next look at the path opens the file again rather than
    // following the file from before for good.
    static FileIdentity followedIdentity(const std::optional<FileIdentity>& namedBefore,
                                         const FileIdentity& ofHandle) {
        return namedBefore && *namedBefore != ofHandle ? *namedBefore : ofHandle;
    }

    PlatformFile(NativeHandle handle, SystemCalls& calls) : handle_(handle), calls_(&calls) {}

    bool lockedByAnother(std::uint64_t offset, std::size_t length);

    NativeHandle handle_;
    // The calls this file was opened through; every later call about it goes there too.
    SystemCalls* calls_;
    // Taken at the open: a file's identity never changes while it is open.
    FileIdentity identity_;
    bool openFileDescriptionQueries_ = true;
};

// The folder that holds the running executable.
std::filesystem::path executableFolder();

#ifndef _WIN32
// POSIX systems, where record locks are advisory: asks the kernel which lock of another process or
// open file description would conflict with a write lock on [offset, offset + length) of file: one
// of either kind, shared ones included. The answer's l_type is F_UNLCK when there is none;
// otherwise l_pid names the holder as this pid namespace sees it (0 outside it, -1 for an
// open-file-description lock). Asks with F_OFD_GETLK, and where the kernel or the file system
// refuses that kind (EINVAL) with F_GETLK, from then on for this caller (openFileDescriptionQueries
// goes false). Throws the system's error otherwise.
struct flock conflictingLock(NativeHandle file, std::uint64_t offset, std::size_t length,
                             bool& openFileDescriptionQueries);
#endif

}  // namespace station
