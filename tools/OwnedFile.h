#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "station/StationFile.h"

namespace owner {

struct ByteRange {
    std::uint64_t start;
    std::uint64_t length;  // 0: to infinity
};

inline std::uint64_t recordStart(long long record) {
    return static_cast<std::uint64_t>(record - 1) * station::kRecordLength;
}

// The station file as the owning application keeps it: open for reading and writing, created
// when missing, with exclusive record locks of this process's own, as the platform takes them.
// Each operating system has its own implementation file.
class OwnedFile {
  public:
    explicit OwnedFile(const std::filesystem::path& path);
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    // Closing drops every lock this process holds on the file, as the owning application's exit
    // would.
    ~OwnedFile();

    std::uint64_t size() const;
    void write(std::uint64_t offset, std::span<const std::byte> bytes);
    void truncate(std::uint64_t bytes);
    // Fails at once, with the platform's failure, where another process holds a conflicting lock.
    void lock(ByteRange range);
    // Releases a range locked before.
    void unlock(ByteRange range);

  private:
    station::NativeHandle handle_;
};

}  // namespace owner
