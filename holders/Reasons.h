#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "station/StationFile.h"

// What the look-up works with on every platform: the bytes of a record, and the fixed texts that
// say why a holder is unknown.
namespace holders {

// Bytes first to last, inclusive, as the kernel lists a lock; a lock to the end of the file runs
// to the largest offset.
struct Range {
    std::uint64_t first;
    std::uint64_t last;
    bool overlaps(const Range& other) const { return first <= other.last && other.first <= last; }
    bool operator==(const Range&) const = default;
    auto operator<=>(const Range&) const = default;
};

inline constexpr std::uint64_t kToTheEnd = std::numeric_limits<std::uint64_t>::max();

inline Range recordRange(std::int32_t record) {
    const std::uint64_t first = station::recordOffset(record, station::kRecordLength);
    return {first, first + station::kRecordLength - 1};
}

// Why a holder is unknown. Each is said as it stands; README.md lists them.
inline constexpr std::string_view kGoneReason =
    "no longer held: its holder let go or ended after the pass";
// Samba's status, and the descriptors of smbd, are root's.
inline constexpr std::string_view kPrivilegeReason = "run as root to see Samba clients";
inline constexpr std::string_view kNotPermittedReason =
    "held by a process this user may not look into: run as root";
inline constexpr std::string_view kNamespaceReason = "held by a process in another pid namespace";
inline constexpr std::string_view kUnseenReason = "held by a process this look-up cannot see";
inline constexpr std::string_view kRefusedReason =
    "held by a process that refuses to show its descriptors";
inline constexpr std::string_view kNfsReason = "held by another machine, through NFS";
inline constexpr std::string_view kTakenMeanwhileReason = "taken during the look-up: run it again";
// A process named by the kernel's lock list whose descriptors cannot be read, so that whether it
// holds this very file (not another with the same inode number) cannot be checked.
inline constexpr std::string_view kHiddenProcessReason =
    "this user cannot see which files it has open: run as root";
inline constexpr std::string_view kUnreadableProcessReason =
    "its descriptors could not be read: ";  // followed by the system's description

}  // namespace holders
