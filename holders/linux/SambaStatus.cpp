#include "holders/linux/SambaStatus.h"

#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <system_error>

namespace holders {
namespace {

std::int64_t serverPid(const nlohmann::json& entry) {
    return std::stoll(entry.at("server_id").at("pid").get<std::string>());
}

bool isFile(const nlohmann::json& entry, std::uint64_t device, std::uint64_t inode) {
    const nlohmann::json& id = entry.at("fileid");
    return id.at("devid").get<std::uint64_t>() == device &&
           id.at("inode").get<std::uint64_t>() == inode;
}

// "ipv4:192.0.2.7:50123" or "ipv6:2001:db8::7:50123": the address without family and port.
std::string addressOf(std::string_view hostname) {
    const std::string_view address = hostname.substr(hostname.find(':') + 1);
    return std::string(address.substr(0, address.rfind(':')));
}

// smbstatus leaves out a section that has nothing in it.
const nlohmann::json& section(const nlohmann::json& root, const char* name) {
    static const nlohmann::json nothing = nlohmann::json::object();
    const auto found = root.find(name);
    return found == root.end() ? nothing : *found;
}

}  // namespace

namespace {

std::vector<std::string> smbstatusArguments(const LookUpOptions& options) {
    std::vector<std::string> arguments{"--json", "-B"};
    if (!options.sambaConfiguration.empty()) {
        arguments.insert(arguments.end(), {"--configfile", options.sambaConfiguration});
    }
    return arguments;
}

}  // namespace

SambaStatus::Asking::Asking(const LookUpOptions& options)
    : options_(options),
      smbstatus_(options.smbstatus, smbstatusArguments(options), options.smbstatusPatience) {}

SambaStatus SambaStatus::Asking::answer(std::uint64_t device, std::uint64_t inode,
                                        const Meanwhile& meanwhile) {
    const BoundedRun smbstatus = smbstatus_.finish(meanwhile);
    const LookUpOptions& options = options_;
    if (smbstatus.status == 0) return read(smbstatus.output, device, inode);
    SambaStatus status;
    if (smbstatus.startFailure != 0) {
        status.failure_ = "smbstatus could not be run: ";
        status.failure_ += options.smbstatus.string() + ": " +
                           std::system_category().message(smbstatus.startFailure);
    } else if (smbstatus.timedOut) {
        status.failure_ = "smbstatus gave no answer in " +
                          std::to_string(options.smbstatusPatience.count() / 1000) +
                          " s and was ended";
    } else if (::geteuid() != 0) {
        status.failure_ = kPrivilegeReason;
    } else {
        status.failure_ = "smbstatus failed: ";
        status.failure_ += smbstatus.errors.substr(0, smbstatus.errors.find('\n'));
    }
    return status;
}

SambaStatus SambaStatus::read(const std::string& json, std::uint64_t device, std::uint64_t inode) {
    SambaStatus status;
    try {
        const nlohmann::json root = nlohmann::json::parse(json);
        for (const auto& [id, session] : section(root, "sessions").items()) {
            status.servers_.insert(serverPid(session));
            status.sessions_.emplace(
                serverPid(session),
                Session{session.at("uid").get<std::int64_t>(), session.at("remote_machine"),
                        addressOf(session.at("hostname").get<std::string>()),
                        session.at("username")});
        }
        for (const auto& [path, openFile] : section(root, "open_files").items()) {
            if (!isFile(openFile, device, inode)) continue;
            for (const auto& [id, open] : openFile.at("opens").items()) {
                // The first open of the file by that client is when it came.
                const std::string at = open.at("opened_at");
                status.servers_.insert(serverPid(open));
                auto& opened = status.openedAt_[serverPid(open)];
                auto [known, added] = opened.emplace(open.at("uid").get<std::int64_t>(), at);
                if (!added) known->second = std::min(known->second, at);
            }
        }
        for (const auto& [path, lockedFile] : section(root, "byte_range_locks").items()) {
            if (!isFile(lockedFile, device, inode)) continue;
            for (const nlohmann::json& lock : lockedFile.at("locks")) {
                const auto start = lock.at("start").get<std::uint64_t>();
                const auto size = lock.at("size").get<std::uint64_t>();
                status.servers_.insert(serverPid(lock));
                // A lock to the end of what an offset can say runs to the largest offset.
                if (size != 0) {
                    const std::uint64_t last =
                        size - 1 > kToTheEnd - start ? kToTheEnd : start + size - 1;
                    status.locks_.push_back({serverPid(lock), {start, last}});
                }
            }
        }
    } catch (const std::exception&) {
        status = SambaStatus{};
        status.failure_ = "smbstatus gave no JSON that this look-up knows (Samba 4.17 gives it)";
    }
    return status;
}

std::set<std::int64_t> SambaStatus::lockingServers() const {
    std::set<std::int64_t> pids;
    for (const Lock& lock : locks_) pids.insert(lock.pid);
    return pids;
}

bool SambaStatus::covers(const Range& range) const {
    std::vector<Range> ranges;
    for (const Lock& lock : locks_) ranges.push_back(lock.range);
    std::ranges::sort(ranges);
    std::uint64_t next = range.first;  // the first byte not yet covered
    for (const Range& one : ranges) {
        if (one.first > next) return false;
        if (one.last >= range.last) return true;
        next = std::max(next, one.last + 1);
    }
    return false;
}

std::variant<std::vector<SambaClient>, std::string> SambaStatus::clientsOf(
    std::int64_t pid, const Range& range) const {
    if (!failure_.empty()) return failure_;
    // Matched by overlap, not by exact range: the kernel merges adjacent locks that one open
    // file description takes, where Samba lists each of them.
    const bool listed = std::any_of(locks_.begin(), locks_.end(), [&](const Lock& lock) {
        return lock.pid == pid && lock.range.overlaps(range);
    });
    const auto [first, last] = sessions_.equal_range(pid);
    if (!listed || first == last) {
        return "Samba lists no such lock of this smbd: is --smb-conf the configuration it runs "
               "with?";
    }
    const auto opened = openedAt_.find(pid);
    const auto openedAs = [&](std::int64_t uid) {
        return opened != openedAt_.end() && opened->second.contains(uid);
    };
    const bool byUser =
        std::any_of(first, last, [&](const auto& session) { return openedAs(session.second.uid); });
    std::vector<SambaClient> clients;
    for (auto session = first; session != last; ++session) {
        const Session& known = session->second;
        if (byUser && !openedAs(known.uid)) continue;
        std::string since;
        if (opened != openedAt_.end()) {
            since = byUser ? opened->second.at(known.uid)
                           : std::min_element(opened->second.begin(), opened->second.end(),
                                              [](const auto& one, const auto& other) {
                                                  return one.second < other.second;
                                              })
                                 ->second;
        }
        clients.push_back({known.machine, known.address, known.account, since});
    }
    return clients;
}

}  // namespace holders
