#pragma once

#include <optional>
#include <string>
#include <string_view>

// Small helpers for reading the kernel's /proc: whole files at once, with no buffering of their
// own, since the look-up reads many small ones.
namespace holders {

// An open descriptor, closed with its owner; -1 is none.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// The whole of a file, read through directory (or AT_FDCWD) until its end. Returns false, with
// errno set, when it cannot be opened or read; throws std::system_error when it cannot be opened
// for want of descriptors or memory, which says nothing of the file and leaves the look-up unable
// to run.
bool readWhole(int directory, const char* path, std::string& text);

// A folder opened as a descriptor, or -1 with errno set; throws as readWhole does.
FileDescriptor openFolder(const char* path);

// The text of a symbolic link, as the kernel gives it; none when it cannot be read (gone, or a
// path longer than the kernel gives as a link's text).
std::optional<std::string> readLink(int directory, const char* path);

// Whether text is a whole decimal number, and its value.
bool parseDecimal(std::string_view text, long long& value);

// A failure that leaves the look-up unable to run: out of descriptors or memory.
bool outOfResources(int error);

}  // namespace holders
