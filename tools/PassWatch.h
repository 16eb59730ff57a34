#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// station-scan under a deadline: its pass tells a watcher each step as it begins, and the watcher
// answers for it when a step does not return in time, even though a read stuck on a share that
// stopped answering cannot be interrupted.
namespace tools {

// Where a run is: what it waits on while it is there.
enum class Step { starting, opening, reading, lookingUp, reporting };

// What a run tells its watcher.
class PassProgress {
  public:
    virtual ~PassProgress() = default;
    virtual void opening() = 0;
    // A read, a reposition or an end-of-file test, at record.
    virtual void reading(std::int32_t record) = 0;
    // The open or the read returned.
    virtual void answered() = 0;
    // The pass is over: the look-up of its holders, then its output.
    virtual void lookingUp() = 0;
    virtual void reporting() = 0;
};

// Each step as a line of text, handed to a sink (a pipe to the watcher, or the watcher itself).
class ProgressLines final : public PassProgress {
  public:
    explicit ProgressLines(std::function<void(std::string_view)> send) : send_(std::move(send)) {}
    void opening() override { send_("o\n"); }
    void reading(std::int32_t record) override { send_("r " + std::to_string(record) + "\n"); }
    void answered() override { send_("a\n"); }
    void lookingUp() override { send_("l\n"); }
    void reporting() override { send_("w\n"); }

  private:
    std::function<void(std::string_view)> send_;
};

// Where a run stopped answering.
struct Stall {
    Step step = Step::starting;
    std::int32_t record = 0;  // the record being read
    // An open or read that did not return within its own patience, rather than the whole run
    // outlasting its time-out.
    bool operationTimedOut = false;
};

// What the watcher knows of a run from its lines: when it stalls, and where.
class PassWatch {
  public:
    using Clock = std::chrono::steady_clock;
    // An open or read that has not returned by then fails the pass.
    static constexpr std::chrono::seconds kOperationPatience{5};

    PassWatch(Clock::time_point start, std::chrono::seconds timeOut)
        : runDeadline_(start + timeOut) {}

    // A line of ProgressLines, heard at now; a line it does not know changes nothing.
    void heard(std::string_view line, Clock::time_point now);
    // The run has stalled if nothing more is heard by then.
    Clock::time_point deadline() const;
    Stall stall() const;

  private:
    Clock::time_point runDeadline_;
    std::optional<Clock::time_point> operationBegan_;
    Step step_ = Step::starting;
    std::int32_t record_ = 0;
};

// The failure of an open or read that did not answer in time, as the platform numbers it.
std::system_error timedOut();

// Runs work (the whole run: its pass, look-up and output, with the status to exit with) under
// its time-out. When it stalls, work is abandoned: report writes the answer for it and gives the
// status to exit with, and nothing of work writes any more.
int runWatched(std::chrono::seconds timeOut, const std::function<int(PassProgress&)>& work,
               const std::function<int(const Stall&)>& report);

}  // namespace tools
