#include "tools/linux/SambaStatus.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

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

// What a program wrote to its standard output and error, and its exit status (-1 when it did
// not start or did not exit).
struct ProgramRun {
    std::string output;
    std::string errors;
    int status = -1;
};

ProgramRun run(const std::vector<std::string>& command) {
    ProgramRun result;
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return result;
    // Errors go to a file in memory, read once the program ended, so that neither stream can
    // fill up while the other is read.
    const int errors = ::memfd_create("errors", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (errors >= 0) ::posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned == 0) {
        char buffer[65536];
        for (ssize_t got; (got = ::read(output[0], buffer, sizeof buffer)) != 0;) {
            if (got > 0) result.output.append(buffer, static_cast<std::size_t>(got));
            if (got < 0 && errno != EINTR) break;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        for (ssize_t got;
             errors >= 0 && (got = ::pread(errors, buffer, sizeof buffer,
                                           static_cast<off_t>(result.errors.size()))) > 0;) {
            result.errors.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(output[0]);
    if (errors >= 0) ::close(errors);
    return result;
}

}  // namespace

SambaStatus SambaStatus::ask(const std::filesystem::path& configuration, std::uint64_t device,
                             std::uint64_t inode) {
    std::vector<std::string> command{"smbstatus", "--json", "-B"};
    if (!configuration.empty()) command.insert(command.end(), {"--configfile", configuration});
    const ProgramRun smbstatus = run(command);
    if (smbstatus.status == 0) return parse(smbstatus.output, device, inode);
    SambaStatus status;
    if (smbstatus.status < 0) {
        status.failure_ = "smbstatus could not be run";
    } else if (::geteuid() != 0) {
        status.failure_ = kPrivilegeReason;
    } else {
        status.failure_ = "smbstatus failed: ";
        status.failure_ += smbstatus.errors.substr(0, smbstatus.errors.find('\n'));
    }
    return status;
}

SambaStatus SambaStatus::parse(const std::string& json, std::uint64_t device, std::uint64_t inode) {
    SambaStatus status;
    try {
        const nlohmann::json root = nlohmann::json::parse(json);
        for (const auto& [id, session] : section(root, "sessions").items()) {
            status.sessions_.emplace(serverPid(session),
                                     Session{session.at("remote_machine"),
                                             addressOf(session.at("hostname").get<std::string>()),
                                             session.at("username")});
        }
        for (const auto& [path, openFile] : section(root, "open_files").items()) {
            if (!isFile(openFile, device, inode)) continue;
            for (const auto& [id, open] : openFile.at("opens").items()) {
                // The first open of the file by that client is when it came.
                const std::string at = open.at("opened_at");
                auto [known, added] = status.openedAt_.emplace(serverPid(open), at);
                if (!added) known->second = std::min(known->second, at);
            }
        }
        for (const auto& [path, lockedFile] : section(root, "byte_range_locks").items()) {
            if (!isFile(lockedFile, device, inode)) continue;
            for (const nlohmann::json& lock : lockedFile.at("locks")) {
                const auto start = lock.at("start").get<std::uint64_t>();
                const auto size = lock.at("size").get<std::uint64_t>();
                if (size != 0)
                    status.locks_.push_back({serverPid(lock), {start, start + size - 1}});
            }
        }
    } catch (const std::exception&) {
        status = SambaStatus{};
        status.failure_ = "smbstatus gave no JSON that this look-up knows (Samba 4.17 gives it)";
    }
    return status;
}

std::variant<SambaClient, std::string> SambaStatus::clientOf(std::int64_t pid,
                                                             const Range& range) const {
    if (!failure_.empty()) return failure_;
    // Matched by overlap, not by exact range: the kernel merges adjacent locks that one open
    // file description takes, where Samba lists each of them.
    const bool listed = std::any_of(locks_.begin(), locks_.end(), [&](const Lock& lock) {
        return lock.pid == pid && lock.range.overlaps(range);
    });
    const auto session = sessions_.find(pid);
    if (!listed || session == sessions_.end()) {
        return "Samba lists no such lock of this smbd: is --smb-conf the configuration it runs "
               "with?";
    }
    const auto opened = openedAt_.find(pid);
    return SambaClient{session->second.machine, session->second.address, session->second.account,
                       opened == openedAt_.end() ? "" : opened->second};
}

}  // namespace holders
