#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

// Children forked from a test or benchmark that each set something up, then only wait until
// they are ended with their owner. Used for crowds: processes that hold descriptors open, or that
// each hold a lock of their own.
namespace testing_support {

class ForkedProcesses {
  public:
    // Forks count children; child i runs setUp(i) and reports whether it succeeded. Returns once
    // every child has.
    ForkedProcesses(long long count, const std::function<bool(long long)>& setUp) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        for (long long i = 0; i < count; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(ready[0]);
                const char done = setUp(i) ? 'y' : 'n';
                if (::write(ready[1], &done, 1) == 1) ::pause();
                ::_exit(0);
            }
            if (child > 0) pids_.push_back(child);
        }
        ::close(ready[1]);
        ready_ = static_cast<long long>(pids_.size()) == count;
        char done = 'n';
        for (std::size_t reported = 0; reported < pids_.size() && ::read(ready[0], &done, 1) == 1;
             ++reported) {
            ready_ = ready_ && done == 'y';
        }
        ::close(ready[0]);
    }
    ForkedProcesses(const ForkedProcesses&) = delete;
    ForkedProcesses& operator=(const ForkedProcesses&) = delete;
    ~ForkedProcesses() {
        for (const pid_t child : pids_) ::kill(child, SIGKILL);
        for (const pid_t child : pids_) ::waitpid(child, nullptr, 0);
    }
    // Whether every child was forked and its set-up succeeded.
    bool ready() const { return ready_; }
    const std::vector<pid_t>& pids() const { return pids_; }

  private:
    std::vector<pid_t> pids_;
    bool ready_ = false;
};

// An open-file-description read lock on the record through a description of the caller's own;
// false when it could not be taken.
inline bool readLockOwnDescription(const std::filesystem::path& file, std::int32_t record) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_start = (record - 1) * 81;
    lock.l_len = 81;
    return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace testing_support
