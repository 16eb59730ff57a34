#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "holders/linux/ProcFiles.h"

// A process of this machine: pinned, so that its pid cannot pass to another process while it is
// looked at, and described by its name and user.
namespace holders {

// A process held by its pidfd: what is read about it is trusted only while it has not ended.
class PinnedProcess {
  public:
    // Throws std::system_error when no descriptor is left for the pin; a process that already
    // ended is pinned as ended.
    explicit PinnedProcess(std::int64_t pid);
    bool ended() const;

  private:
    FileDescriptor pidfd_;
};

struct ProcessFacts {
    std::string command;  // the bytes its owner set, with nothing added or taken away
    std::string user;
};

// The command name and the real user: the one who started the process, which stays put while
// smbd switches its effective user from request to request. None when the process cannot be seen.
std::optional<ProcessFacts> describe(std::int64_t pid);

// The command name alone, as describe gives it; none when the process cannot be seen.
std::optional<std::string> commandOf(std::int64_t pid);

// The processes and every process forked from them that still runs (a child keeps the
// descriptions of its parent's descriptors); none when the kernel does not list children
// (/proc/PID/task/TID/children, a build option).
std::optional<std::set<std::int64_t>> withDescendants(const std::set<std::int64_t>& pids);

// Whether the look-up runs in the machine's first pid namespace, where /proc shows every process
// (to root every process's descriptors too); not in a container's.
bool seesEveryProcess();

}  // namespace holders
