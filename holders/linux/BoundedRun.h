#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "holders/linux/ProcFiles.h"

namespace holders {

// What a program wrote to its standard output and error, and how it ended.
struct BoundedRun {
    std::string output;
    std::string errors;
    int status = -1;        // its exit status; -1 when it did not exit by itself
    int startFailure = 0;   // errno when it could not be started, or not waited for
    bool timedOut = false;  // killed, with everything it started, after its patience ran out
};

// The signals that end a program from outside by default: a terminal's Ctrl-C, a service
// manager's or a monitoring engine's stop. Held back from the calling thread while it has
// something to end first, and delivered once it lets go of them; those the caller handles or
// ignores are left as they are.
class HeldSignals {
  public:
    HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals();
    // Readable once one of them has come.
    int fd() const { return signals_.get(); }
    // The caller's own signal mask, for a child to start with.
    const sigset_t& callerMask() const { return callerMask_; }

  private:
    sigset_t callerMask_;
    FileDescriptor signals_;
};

// What the caller does while it waits for a program: step, every so often.
struct Meanwhile {
    std::function<void()> step;
    std::chrono::milliseconds every{0};
};

// A program run at exactly its path (never looked up on PATH), with a minimal environment of its
// own rather than the caller's and no standard input, for at most its patience from its start.
// It runs beside the caller until finish(); a program never finished is killed. It never
// outlives its caller: it is killed, with what it started, before a signal that ends the caller
// takes effect, and by a keeper of its own when the caller is killed outright.
class BoundedProgram {
  public:
    BoundedProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds patience);
    BoundedProgram(const BoundedProgram&) = delete;
    BoundedProgram& operator=(const BoundedProgram&) = delete;
    ~BoundedProgram();

    // Waits for its end, killing it (and all it started) once its patience has run out.
    BoundedRun finish(const Meanwhile& meanwhile = {});

  private:
    // Waits for the program, killed first with all it started when killing; its wait status.
    int reap(bool killing);

    std::optional<HeldSignals> held_;
    FileDescriptor output_;
    FileDescriptor errors_;
    pid_t child_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    BoundedRun result_;
};

}  // namespace holders
