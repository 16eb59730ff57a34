#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/LockHolders.h"

namespace holders {

// Why Samba's clients cannot be seen: smbstatus, and the descriptors of smbd, are root's.
inline constexpr std::string_view kPrivilegeReason = "run as root to see Samba clients";

// Bytes first to last, inclusive, as the kernel lists a lock; a lock to the end of the file runs
// to the largest offset.
struct Range {
    std::uint64_t first;
    std::uint64_t last;
    bool overlaps(const Range& other) const { return first <= other.last && other.first <= last; }
};

// What Samba's smbd processes say of their clients and of their locks on one file, matched by
// device and inode, as one smbstatus call gives it.
class SambaStatus {
  public:
    // Asks smbstatus, under the configuration when one is named.
    static SambaStatus ask(const std::filesystem::path& configuration, std::uint64_t device,
                           std::uint64_t inode);
    // The client that the smbd process serves, when Samba lists a lock of it on the range;
    // otherwise why the client is unknown.
    std::variant<SambaClient, std::string> clientOf(std::int64_t pid, const Range& range) const;

  private:
    static SambaStatus parse(const std::string& json, std::uint64_t device, std::uint64_t inode);

    struct Session {
        std::string machine, address, account;
    };
    struct Lock {
        std::int64_t pid;
        Range range;
    };
    std::map<std::int64_t, Session> sessions_;
    std::map<std::int64_t, std::string> openedAt_;
    std::vector<Lock> locks_;
    std::string failure_;  // why there is no status, if there is none
};

}  // namespace holders
