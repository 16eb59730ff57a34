#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "station/Display.h"
#include "viewer/RefreshCycle.h"

namespace testing_support {

// A window that only keeps what the refresh cycle does to it.
class RecordedWindow final : public viewer::WindowControls {
  public:
    void startTimer1(int) override {}
    void stopTimer1() override {}
    void setCaption(const std::string& text) override { caption = text; }
    station::TextHolder& txtPuestos() override { return listing; }
    void showMessageBox(const std::string& text) override {
        modalBoxes.push_back(text);
        if (whileAModalBoxWaits) whileAModalBoxWaits();
    }
    void showOutageBox(const std::string& text) override {
        outageBoxes.push_back(text);
        outageBoxOpen = true;
    }
    void closeOutageBox() noexcept override { outageBoxOpen = false; }
    void keepTopmost() noexcept override { ++topmostKept; }
    void endProgram(int status) noexcept override { ended = status; }
    void postResults() noexcept override {
        const std::lock_guard lock(postMutex_);
        ++posts_;
        posted_.notify_all();
    }

    int postsMade() {
        const std::lock_guard lock(postMutex_);
        return posts_;
    }
    // Waits for a post of the worker not yet taken, and takes it; false if none came in a
    // generous while (a guard against a hang, not a measure).
    bool takePost() {
        std::unique_lock lock(postMutex_);
        if (!posted_.wait_for(lock, std::chrono::seconds(30), [this] { return posts_ > taken_; })) {
            return false;
        }
        ++taken_;
        return true;
    }

    std::string caption;
    station::PlainText listing;
    std::vector<std::string> modalBoxes;
    std::vector<std::string> outageBoxes;
    bool outageBoxOpen = false;
    int topmostKept = 0;
    int ended = -1;
    // What happens while a modal box waits for its answer.
    std::function<void()> whileAModalBoxWaits;

  private:
    std::mutex postMutex_;
    std::condition_variable posted_;
    int posts_ = 0;
    int taken_ = 0;
};

// The refresh cycle over the station file at path, in a recorded window: loaded, and ticked once,
// each shown. It reaches the file through calls.
struct RecordedMonitor {
    explicit RecordedMonitor(const std::filesystem::path& stationFile,
                             station::SystemCalls& calls = station::systemCalls())
        : cycle(window, calls) {
        cycle.setRutaFichero(stationFile);
        cycle.load();
        settle();
        tick();
    }

    // Shows each result of the worker as the window would, until nothing is under way there.
    void settle() {
        while (cycle.passUnderWay()) {
            if (!window.takePost()) throw std::runtime_error("the worker never answered");
            cycle.resultsArrived();
        }
    }
    // A tick or a click, and what it started shown.
    void tick() {
        cycle.timer1Tick();
        settle();
    }
    void click() {
        cycle.cmdVerClick();
        settle();
    }

    // The worker, which nothing waits for, ends the pass it is in before the calls it reads
    // through go.
    ~RecordedMonitor() { cycle.waitForTheWorker(std::chrono::seconds(30)); }
    RecordedMonitor(const RecordedMonitor&) = delete;
    RecordedMonitor& operator=(const RecordedMonitor&) = delete;

    RecordedWindow window;
    viewer::RefreshCycle cycle;
};

}  // namespace testing_support
