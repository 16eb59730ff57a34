#include "holders/linux/BoundedRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
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

// The signals that end a process by default and come from outside it.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

enum class Waited { Ended, PatienceRanOut, Signalled };

// Waits for the child held by pidfd to end, until the deadline or a signal that is held back.
Waited waitFor(const FileDescriptor& pidfd, int signals,
               std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Waited::PatienceRanOut;
        pollfd watched[] = {{pidfd.get(), POLLIN, 0}, {signals, POLLIN, 0}};
        const int ready = ::poll(watched, 2, static_cast<int>(left.count()));
        if (ready > 0) return watched[0].revents != 0 ? Waited::Ended : Waited::Signalled;
        if (ready < 0 && errno != EINTR) return Waited::PatienceRanOut;
    }
}

// The forked child's part: nothing but system calls, since the caller may have other threads.
[[noreturn]] void becomeProgram(const char* path, char* const argv[], char* const environment[],
                                pid_t parent, const sigset_t& mask, int output, int errors,
                                int started) {
    // The kernel kills it once its parent ends, however the parent ends; a parent already gone
    // is not waited for.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == parent) {
        // A process group of its own, so that what it starts ends with it.
        ::setpgid(0, 0);
        const int input = ::open("/dev/null", O_RDONLY);
        if (input >= 0 && ::dup2(input, STDIN_FILENO) >= 0 && ::dup2(output, STDOUT_FILENO) >= 0 &&
            ::dup2(errors, STDERR_FILENO) >= 0) {
            ::sigprocmask(SIG_SETMASK, &mask, nullptr);
            ::execve(path, argv, environment);
        }
    }
    const int failure = errno;
    [[maybe_unused]] const ssize_t told = ::write(started, &failure, sizeof failure);
    ::_exit(127);
}

}  // namespace

HeldSignals::HeldSignals() {
    ::pthread_sigmask(SIG_BLOCK, nullptr, &callerMask_);
    sigset_t held;
    ::sigemptyset(&held);
    for (const int signal : kEndingSignals) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_DFL &&
            ::sigismember(&callerMask_, signal) == 0) {
            ::sigaddset(&held, signal);
        }
    }
    ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
    // Without a descriptor to watch them, they still end the caller once let go of.
    signals_ = FileDescriptor(::signalfd(-1, &held, SFD_CLOEXEC | SFD_NONBLOCK));
}

HeldSignals::~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &callerMask_, nullptr); }

BoundedProgram::BoundedProgram(const std::filesystem::path& program,
                               const std::vector<std::string>& arguments,
                               std::chrono::milliseconds patience)
    : held_(std::in_place),
      output_(::memfd_create("output", MFD_CLOEXEC)),
      errors_(::memfd_create("errors", MFD_CLOEXEC)),
      deadline_(std::chrono::steady_clock::now() + patience) {
    int started[2];
    if (output_.get() < 0 || errors_.get() < 0 || ::pipe2(started, O_CLOEXEC) != 0) {
        result_.startFailure = errno;
        return;
    }
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char locale[] = "LC_ALL=C";
    char* environment[] = {path, locale, nullptr};
    const pid_t parent = ::getpid();
    child_ = ::fork();
    if (child_ == 0) {
        becomeProgram(program.c_str(), argv.data(), environment, parent, held_->callerMask(),
                      output_.get(), errors_.get(), started[1]);
    }
    const int forkFailure = errno;
    ::close(started[1]);
    // The child says why it could not become the program; its end of the pipe closes unsaid
    // once it has.
    int failure = 0;
    ssize_t got = 0;
    while (child_ > 0 && (got = ::read(started[0], &failure, sizeof failure)) < 0 &&
           errno == EINTR) {
    }
    ::close(started[0]);
    if (child_ < 0) {
        result_.startFailure = forkFailure;
    } else if (got == static_cast<ssize_t>(sizeof failure)) {
        reap(false);
        result_.startFailure = failure;
    }
}

BoundedProgram::~BoundedProgram() {
    if (child_ > 0) reap(true);
}

int BoundedProgram::reap(bool killing) {
    if (killing) ::kill(-child_, SIGKILL);
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    return status;
}

BoundedRun BoundedProgram::finish() {
    if (child_ <= 0) {
        held_.reset();
        return result_;
    }
    // With no descriptor to wait on, it cannot be waited for with a bound: it is ended, and the
    // system's error said, rather than a silence that was not the program's.
    const FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child_, 0)));
    Waited waited = Waited::Ended;
    if (pidfd.get() < 0) {
        result_.startFailure = errno;
    } else {
        waited = waitFor(pidfd, held_->fd(), deadline_);
        result_.timedOut = waited == Waited::PatienceRanOut;
        // Held back, the signal ends the caller as soon as it is let go of, below.
        if (waited == Waited::Signalled) result_.startFailure = EINTR;
    }
    const int status = reap(pidfd.get() < 0 || waited != Waited::Ended);
    held_.reset();
    if (!result_.timedOut && result_.startFailure == 0 && WIFEXITED(status)) {
        result_.status = WEXITSTATUS(status);
    }
    result_.output = everything(output_.get());
    result_.errors = everything(errors_.get());
    return result_;
}

}  // namespace holders
