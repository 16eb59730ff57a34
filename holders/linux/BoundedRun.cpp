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
#include <iterator>

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

// Waits for the child held by pidfd to end, until the deadline or a signal that is held back;
// meanwhile, if given, is called every so often while it waits.
Waited waitFor(const FileDescriptor& pidfd, int signals,
               std::chrono::steady_clock::time_point deadline, const Meanwhile& meanwhile) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Waited::PatienceRanOut;
        if (meanwhile.step) left = std::min(left, meanwhile.every);
        pollfd watched[] = {{pidfd.get(), POLLIN, 0}, {signals, POLLIN, 0}};
        const int ready = ::poll(watched, 2, static_cast<int>(left.count()));
        if (ready > 0) return watched[0].revents != 0 ? Waited::Ended : Waited::Signalled;
        if (ready < 0 && errno != EINTR) return Waited::PatienceRanOut;
        if (ready == 0 && meanwhile.step) meanwhile.step();
    }
}

// What the forked children need, all made before the fork: after it, they make nothing but
// system calls, since the caller may have other threads.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* environment;
    sigset_t callerMask;
    int output;
    int errors;
    int started;  // where a child that cannot become the program writes why
};

// Where the keeper and the program keep the caller's end of `started`, the only descriptor of
// the caller's that they keep beside the standard three.
constexpr int kStartedFd = 3;

[[noreturn]] void failToStart() {
    const int failure = errno;
    [[maybe_unused]] const ssize_t told = ::write(kStartedFd, &failure, sizeof failure);
    ::_exit(127);
}

// The program itself, a child of its keeper. Its end of `started` closes as it becomes the
// program, which tells the caller that it has.
[[noreturn]] void becomeProgram(const ChildPlan& plan, pid_t keeper) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == keeper &&
        ::fcntl(kStartedFd, F_SETFD, FD_CLOEXEC) == 0) {
        ::sigprocmask(SIG_SETMASK, &plan.callerMask, nullptr);
        ::execve(plan.path, plan.argv, plan.environment);
    }
    failToStart();
}

// The keeper, a copy of the caller: it leads a process group of its own, in which it runs the
// program, and ends with the program's exit status. When the caller ends, however it ends (killed
// outright too: the kernel then sends the keeper its parent-death signal), or when it is told to
// end, it kills the whole group: the program and all that it started.
[[noreturn]] void keep(const ChildPlan& plan, pid_t caller) {
    sigset_t awaited;
    ::sigemptyset(&awaited);
    ::sigaddset(&awaited, SIGCHLD);
    for (const int signal : kEndingSignals) ::sigaddset(&awaited, signal);
    ::sigprocmask(SIG_BLOCK, &awaited, nullptr);
    // Standard input, output and error, and `started`, as descriptors 0 to 3, and no other
    // descriptor of the caller's: each is first copied above them all, so that none is
    // overwritten before it is moved.
    const int kept[] = {::open("/dev/null", O_RDONLY), plan.output, plan.errors, plan.started};
    int above[std::size(kept)];
    for (std::size_t at = 0; at < std::size(kept); ++at) {
        above[at] = kept[at] < 0 ? -1 : ::fcntl(kept[at], F_DUPFD, kStartedFd + 1);
        if (above[at] < 0) ::_exit(127);
    }
    for (int fd = 0; fd <= kStartedFd; ++fd) {
        if (::dup2(above[fd], fd) != fd) ::_exit(127);
    }
    struct sigaction reported {};
    reported.sa_handler = SIG_DFL;
    if (::close_range(kStartedFd + 1, ~0U, 0) != 0 ||
        ::sigaction(SIGCHLD, &reported, nullptr) != 0 || ::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 ||
        ::getppid() != caller || ::setpgid(0, 0) != 0) {
        failToStart();
    }
    const pid_t keeper = ::getpid();
    const pid_t program = ::fork();
    if (program == 0) becomeProgram(plan, keeper);
    if (program < 0) failToStart();
    ::close(kStartedFd);
    for (;;) {
        const int signal = ::sigwaitinfo(&awaited, nullptr);
        int status = 0;
        if (signal == SIGCHLD && ::waitpid(program, &status, WNOHANG) == program) {
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        if (signal > 0 && signal != SIGCHLD) {
            ::kill(0, SIGKILL);
            ::_exit(128 + SIGKILL);
        }
    }
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
    const ChildPlan plan{program.c_str(), argv.data(),   environment, held_->callerMask(),
                         output_.get(),   errors_.get(), started[1]};
    const pid_t caller = ::getpid();
    child_ = ::fork();
    if (child_ == 0) keep(plan, caller);
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

BoundedRun BoundedProgram::finish(const Meanwhile& meanwhile) {
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
        waited = waitFor(pidfd, held_->fd(), deadline_, meanwhile);
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
