// The run in a child process of its own, which holds no stream of the caller's: when a read of
// it is stuck on a share that stopped answering (uninterruptible, not even by SIGKILL), this
// process still answers at the deadline, ends what the child started and exits, and the engine's
// pipe closes with it. The child ends once the share answers.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "station/Failure.h"
#include "tools/PassWatch.h"

namespace tools {
namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // the watcher is gone: nobody is left to tell
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// The processes whose parent is parent, from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...: the name may hold anything, up to its last ')'.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        if (rest >> state >> ppid && ppid == parent) children.push_back(pid);
    }
    ::closedir(proc);
    return children;
}

// Ends the child's process group and the groups of the programs it started (smbstatus runs in
// a group of its own). Stopped first, the child starts nothing more meanwhile.
void endAbandoned(pid_t child) {
    ::kill(child, SIGSTOP);
    for (const pid_t started : childrenOf(child)) {
        ::kill(-started, SIGKILL);
        ::kill(started, SIGKILL);
    }
    ::kill(-child, SIGKILL);
}

struct Pipe {
    std::array<int, 2> ends{-1, -1};
    Pipe() {
        if (::pipe2(ends.data(), O_CLOEXEC) != 0) station::throwLastError();
        // Where the caller closed a standard stream, a pipe end may take its number, and the
        // child's streams would then be put over it: each end lies above them.
        for (int& end : ends) {
            if (end > 2) continue;
            const int above = ::fcntl(end, F_DUPFD_CLOEXEC, 3);
            const int error = errno;
            ::close(end);
            end = above;
            if (above < 0) throw std::system_error(error, std::system_category());
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        for (const int fd : ends) {
            if (fd >= 0) ::close(fd);
        }
    }
    void closeEnd(int which) {
        ::close(ends[which]);
        ends[which] = -1;
    }
};

[[noreturn]] void runChild(pid_t watcher, Pipe& events, Pipe& output, Pipe& errors,
                           const std::function<int(PassProgress&)>& work) {
    ::setpgid(0, 0);
    // A pass whose watcher was killed (Ctrl-C, timeout(1), an engine ending the probe) answers
    // no one: it ends too, and writes no metrics after its caller gave up.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != watcher) ::_exit(127);
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(output.ends[1], 1) < 0 ||
        ::dup2(errors.ends[1], 2) < 0) {
        ::_exit(127);
    }
    // Only the channel to the watcher stays beside the three streams: a descriptor of the
    // engine's left open here would keep the engine waiting on the abandoned pass.
    const int channel = events.ends[1];
    if (channel > 3) ::close_range(3, static_cast<unsigned>(channel) - 1, 0);
    ::close_range(static_cast<unsigned>(channel) + 1, ~0U, 0);
    ProgressLines progress([channel](std::string_view line) { writeAll(channel, line); });
    int status = 1;
    try {
        status = work(progress);
    } catch (const std::system_error& failure) {
        std::cerr << "station-scan: " << station::failureNumber(failure) << " "
                  << station::failureDescription(failure) << "\n";
    }
    std::cout.flush();
    std::cerr.flush();
    ::_exit(status);
}

}  // namespace

std::system_error timedOut() { return std::system_error(ETIMEDOUT, std::system_category()); }

int runWatched(std::chrono::seconds timeOut, const std::function<int(PassProgress&)>& work,
               const std::function<int(const Stall&)>& report) {
    std::cout.flush();
    std::cerr.flush();
    PassWatch watch(PassWatch::Clock::now(), timeOut);
    Pipe events;
    Pipe output;
    Pipe errors;
    const pid_t watcher = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) station::throwLastError();
    if (child == 0) runChild(watcher, events, output, errors, work);
    ::setpgid(child, child);  // before anything could need its group, whoever runs first
    events.closeEnd(1);
    output.closeEnd(1);
    errors.closeEnd(1);

    std::array<std::string, 3> heard;  // events, output, errors
    std::array<pollfd, 3> watched = {pollfd{events.ends[0], POLLIN, 0},
                                     pollfd{output.ends[0], POLLIN, 0},
                                     pollfd{errors.ends[0], POLLIN, 0}};
    std::size_t open = watched.size();
    while (open > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(watch.deadline() -
                                                                       PassWatch::Clock::now());
        const int ready = left.count() <= 0 ? 0
                                            : ::poll(watched.data(), watched.size(),
                                                     static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) station::throwLastError();
        if (ready == 0) {
            endAbandoned(child);
            return report(watch.stall());
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(watched[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                watched[i].fd = -1;  // closed with the child (its pipe ends in Pipe)
                --open;
                continue;
            }
            heard[i].append(buffer, static_cast<std::size_t>(got));
            if (i != 0) continue;
            for (auto end = heard[0].find('\n'); end != std::string::npos;
                 end = heard[0].find('\n')) {
                watch.heard(std::string_view(heard[0]).substr(0, end), PassWatch::Clock::now());
                heard[0].erase(0, end + 1);
            }
        }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Standard error first: a write to it flushes standard output, whose flush the caller
    // checks to say what was lost.
    std::cerr << heard[2];
    if (!WIFEXITED(status)) {
        std::cerr << "station-scan: the pass ended by signal " << WTERMSIG(status) << "\n";
    }
    std::cout << heard[1];
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tools
