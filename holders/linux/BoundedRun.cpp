#include "holders/linux/BoundedRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace holders {
namespace {

// Files in memory rather than pipes: the program never waits for its reader, and whatever it
// left running cannot keep a pipe open.
std::string everything(int memory) {
    std::string text;
    char buffer[65536];
    for (ssize_t got;
         (got = ::pread(memory, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// Waits for the child held by pidfd to end, for at most patience; false when it did not.
bool endsWithin(const FileDescriptor& pidfd, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd exited{pidfd.get(), POLLIN, 0};
        const int ready = ::poll(&exited, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

}  // namespace

BoundedProgram::BoundedProgram(const std::filesystem::path& program,
                               const std::vector<std::string>& arguments,
                               std::chrono::milliseconds patience)
    : output_(::memfd_create("output", MFD_CLOEXEC)),
      errors_(::memfd_create("errors", MFD_CLOEXEC)),
      deadline_(std::chrono::steady_clock::now() + patience) {
    if (output_.get() < 0 || errors_.get() < 0) {
        result_.startFailure = errno;
        return;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, output_.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, errors_.get(), STDERR_FILENO);
    // A process group of its own, so that what it starts ends with it.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char locale[] = "LC_ALL=C";
    char* environment[] = {path, locale, nullptr};
    const int spawned =
        ::posix_spawn(&child_, program.c_str(), &actions, &attributes, argv.data(), environment);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        result_.startFailure = spawned;
        child_ = -1;
    }
}

BoundedProgram::~BoundedProgram() {
    if (child_ <= 0) return;
    ::kill(-child_, SIGKILL);
    while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

BoundedRun BoundedProgram::finish() {
    if (child_ <= 0) return result_;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    // With no descriptor to wait on, it cannot be waited for with a bound: it is ended, and the
    // system's error said, rather than a silence that was not the program's.
    const FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child_, 0)));
    if (pidfd.get() < 0) {
        result_.startFailure = errno;
        ::kill(-child_, SIGKILL);
    } else if (!endsWithin(pidfd, std::max(left, std::chrono::milliseconds(0)))) {
        ::kill(-child_, SIGKILL);
        result_.timedOut = true;
    }
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    if (!result_.timedOut && result_.startFailure == 0 && WIFEXITED(status)) {
        result_.status = WEXITSTATUS(status);
    }
    result_.output = everything(output_.get());
    result_.errors = everything(errors_.get());
    return result_;
}

}  // namespace holders
