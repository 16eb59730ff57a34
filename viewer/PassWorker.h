#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "station/StationFile.h"

namespace viewer {

// What the window asks of the worker: the load's open, or a pass (the identity check, a reopen if
// one is due, the scan) for the window to show, or a scan for a caller that waits for it.
struct PassRequest {
    enum class Kind { open, pass, scan };
    Kind kind = Kind::pass;
    station::PathCheck check = station::PathCheck::handleOnly;
    // The window's outage rules call for the path to be opened again before the pass.
    bool reopen = false;
    // The last free station that a scan leaves alone when it reads no record without failure.
    std::int32_t ultimoPuestoLibre = 0;
};

// What one request came to, for the window's thread to show.
struct PassOutcome {
    // The load's open: its message ("number-description") where it failed.
    std::optional<std::string> openFailure;
    // The listing the pass wrote, if it got as far as writing one.
    std::optional<std::string> listing;
    std::int32_t ultimoPuestoLibre = 0;
    std::int32_t connected = 0;
    // What ended the pass before the end of the file, under the outage rules.
    std::optional<std::system_error> failure;
    // A failure that nothing handled: the window reports it and the program ends.
    std::exception_ptr unhandled;
};

// The thread that opens, checks and reads the station file, one request at a time, so that a file
// that stops answering holds this thread and never the window's. The file handle lives here. The
// thread is never waited for: the window lets it go at its end, the thread finishes what it is in
// and ends, and what it still touches lives as long as it does. A process that ends meanwhile
// takes it along.
class PassWorker {
  public:
    using Clock = std::chrono::steady_clock;

    // Starts the thread, which reaches the file through calls. After each request that is not a
    // scan it calls resultsReady, on its own thread and never after release().
    PassWorker(station::SystemCalls& calls, std::function<void()> resultsReady);
    // Releases the thread without waiting for it.
    ~PassWorker();
    PassWorker(const PassWorker&) = delete;
    PassWorker& operator=(const PassWorker&) = delete;

    // The station file's path; only while no request is under way.
    void setRutaFichero(std::filesystem::path path);

    // Hands a request to the thread. The outcome of the one before must have been taken.
    void begin(const PassRequest& request);
    // The outcome of the last request begun, once the thread has finished it.
    std::optional<PassOutcome> takeOutcome();
    // When the open, identity check or record read that the thread is in began, by the clock
    // of its calls; nothing while it is in none.
    std::optional<Clock::time_point> callUnderWaySince();
    // Runs a scan on the thread once the request under way is finished, and waits for it.
    PassOutcome scanAndWait(std::int32_t ultimoPuestoLibre);

    // Waits until the thread has finished every request handed to it, for at most patience;
    // whether it has.
    bool waitUntilIdle(std::chrono::milliseconds patience);

    // No more calls of resultsReady; the thread ends after the request it is in.
    void release() noexcept;

  private:
    struct State;
    static void run(std::shared_ptr<State> state) noexcept;

    std::shared_ptr<State> state_;
};

}  // namespace viewer
