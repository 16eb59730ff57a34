#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "station/PlatformFile.h"

// Who holds the locks on the station file's records: the processes of this machine and, through
// Samba's smbd, the file server's clients. Each operating system has its own implementation file.
namespace holders {

// A client of the Samba file server, as smbd knows it.
struct SambaClient {
    std::string machine;  // its NetBIOS name, or its address when it sent none
    std::string address;
    std::string account;
    std::string since;  // when it opened the station file, ISO 8601
    bool operator==(const SambaClient&) const = default;
};

// One holder of a lock on one record. What cannot be found out is said in `unknown`, never
// guessed: a holder with no pid is known only by that reason. Names are the bytes the system
// gives, whatever they are.
struct Holder {
    std::int32_t record = 0;
    std::optional<std::int64_t> pid;
    std::string command;
    std::string user;
    std::optional<SambaClient> client;
    std::string unknown;
    bool operator==(const Holder&) const = default;

    // A process that holds the record, by its pid and what it says of itself.
    static Holder process(std::int32_t record, std::int64_t pid, std::string command,
                          std::string user) {
        Holder holder;
        holder.record = record;
        holder.pid = pid;
        holder.command = std::move(command);
        holder.user = std::move(user);
        return holder;
    }

    // A holder of the record that cannot be seen, known only by the reason.
    static Holder unknownBecause(std::int32_t record, std::string_view reason) {
        Holder holder;
        holder.record = record;
        holder.unknown = reason;
        return holder;
    }
};

struct LookUpOptions {
    // Samba's configuration, when it is not Samba's default.
    std::filesystem::path sambaConfiguration;
    // Samba's own status program, run by this path only, never looked up on PATH.
    std::filesystem::path smbstatus = "/usr/bin/smbstatus";
    // How long smbstatus may take before it is killed and Samba's clients are left unknown.
    std::chrono::milliseconds smbstatusPatience{5000};
};

// Every holder of a lock on each of the records (numbered from 1), as the system shows them now,
// in the order of the records. stationFile is the pass's own open station file, as the
// platform's native handle (station::StationFile::nativeHandle): the look-up asks about that
// file, never about whatever its path names by now. A record that nobody holds any more gets one
// holder saying so. Throws std::system_error when the look-up cannot run at all.
std::vector<Holder> lookUp(station::NativeHandle stationFile, std::span<const std::int32_t> records,
                           const LookUpOptions& options);

}  // namespace holders
