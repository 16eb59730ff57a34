// POSIX: the owner runs through posix_spawn with pipes to and from it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "Support.h"

extern char** environ;

namespace testing_support {
namespace {

[[noreturn]] void failWithErrno(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

int fd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

OwnerProcess::OwnerProcess(const std::vector<std::string>& arguments) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) == -1 || ::pipe2(output, O_CLOEXEC) == -1) failWithErrno("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const std::string program = stationOwnerProgram().string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    process_ = pid;
    toOwner_ = input[1];
    fromOwner_ = output[0];
    if (spawned != 0) throw std::system_error(spawned, std::system_category(), "posix_spawn");
}

OwnerProcess::~OwnerProcess() {
    // End of input ends the owner, and with it its locks.
    ::close(fd(toOwner_));
    ::close(fd(fromOwner_));
    if (process_ > 0) ::waitpid(static_cast<pid_t>(process_), nullptr, 0);
}

std::int64_t OwnerProcess::pid() const { return process_; }

void OwnerProcess::kill() {
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    ::waitpid(static_cast<pid_t>(process_), nullptr, 0);
    process_ = -1;
}

void OwnerProcess::send(const std::string& text) {
    if (::write(fd(toOwner_), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        failWithErrno("write to station-owner");
    }
}

std::string OwnerProcess::readLine() {
    std::string line;
    for (char c;;) {
        if (::read(fd(fromOwner_), &c, 1) != 1) throw std::runtime_error("station-owner ended");
        if (c == '\n') return line;
        line += c;
    }
}

// A read first asks the kernel about locks, so a lock held elsewhere always shows.
bool readsOfLockedRangesFail() { return true; }

std::filesystem::path stationOwnerProgram() { return STATION_OWNER; }
std::filesystem::path stationScanProgram() { return STATION_SCAN; }

// Built by appending: "'" + path.string() inserts at the front of a temporary, where GCC 12 at
// -O3 sees a false overlap in the copy (-Wrestrict).
std::string shellQuoted(const std::filesystem::path& path) {
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

ProgramRun runProgram(const std::filesystem::path& program, const std::string& arguments) {
    const std::string commandLine = shellQuoted(program) + " " + arguments;
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr) failWithErrno("popen");
    ProgramRun run;
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace testing_support
