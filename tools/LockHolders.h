#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

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
// guessed: a holder with no pid is known only by that reason.
struct Holder {
    std::int32_t record = 0;
    std::optional<std::int64_t> pid;
    std::string command;
    std::string user;
    std::optional<SambaClient> client;
    std::string unknown;
    bool operator==(const Holder&) const = default;
};

struct LookUpOptions {
    // Samba's configuration, when it is not Samba's default.
    std::filesystem::path sambaConfiguration;
    // Samba's status program, run by this path alone.
    std::filesystem::path smbstatus = "/usr/bin/smbstatus";
};

// Every holder of a lock on each of the records (numbered from 1), as the system shows them now,
// in the order of the records. A record that nobody holds any more gets one holder saying so.
// Throws std::system_error when the station file itself cannot be looked at.
std::vector<Holder> lookUp(const std::filesystem::path& stationFile,
                           std::span<const std::int32_t> records, const LookUpOptions& options);

}  // namespace holders
