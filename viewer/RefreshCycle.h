#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "station/Display.h"
#include "station/StationFile.h"
#include "viewer/PassWorker.h"

namespace viewer {

// The application's title: message boxes carry it.
inline constexpr char kApplicationTitle[] = "prOstrevan";

// What the program ends with when a failure reached a tick or a click and nothing handled it.
inline constexpr int kUnhandledFailureExitStatus = 1;

inline constexpr int kRefreshIntervalMs = 100;
// Every tick asks the open handle whether its file still has a name; every tenth, about once a
// second, also whether the path still names it (more work, and on a share more round trips).
inline constexpr int kTicksPerPathCheck = 10;
// An open, identity check or read of the station file that has not returned this long after it
// began fails its pass.
inline constexpr std::chrono::seconds kCallTimeout{5};

// What a toolkit's window lends the refresh cycle: its controls and the platform's services.
class WindowControls {
  public:
    virtual ~WindowControls() = default;
    // Timer1: from now on it fires every intervalMs; stopped, it fires no more.
    virtual void startTimer1(int intervalMs) = 0;
    virtual void stopTimer1() = 0;
    virtual void setCaption(const std::string& caption) = 0;
    // txtPuestos, with line breaks read and written as CR LF.
    virtual station::TextHolder& txtPuestos() = 0;
    // A modal box titled kApplicationTitle with only OK and no icon; returns once it is answered.
    virtual void showMessageBox(const std::string& text) = 0;
    // The same box, but modeless: returns at once, and shows without taking the keyboard focus
    // from whatever window has it. A box of an earlier call still open shows the new text instead
    // of a second box appearing.
    virtual void showOutageBox(const std::string& text) = 0;
    // Closes that box if it is still open; the keyboard focus goes back where the box found it.
    virtual void closeOutageBox() noexcept = 0;
    // Puts the window back above every ordinary window without moving, resizing or activating it.
    virtual void keepTopmost() noexcept = 0;
    // Leaves the event loop, which then returns status.
    virtual void endProgram(int status) noexcept = 0;
    // Called on the refresh cycle's worker thread, never after the cycle has gone: has the
    // window's thread call RefreshCycle::resultsArrived soon (a queued call, a posted message),
    // without waiting for it and without touching a control here.
    virtual void postResults() noexcept = 0;
};

// The monitor's behaviour, the same under every toolkit: the window's load opens the station file
// and starts Timer1; every tick and every click of the blank button rescans it into txtPuestos
// and puts the last free station in the caption; a tick then keeps the window on top. A failure
// that nothing handled is reported and ends the program. A pass that fails part-way (a failing
// disk, a dropped share) is reported once per outage, in a box that does not stop the refreshes,
// so that the listing comes back by itself when the file reads again, and the box goes by itself
// then too; where the open file no longer reads, it is opened again by its path. Each toolkit's
// window hands its events here and lends its controls. The listing follows the file at the path:
// a file deleted, renamed away or replaced under the name is closed and the path opened again,
// never created; nothing there is an outage like a failed pass.
//
// The file is opened, checked and read on a worker thread, one request at a time, so that a file
// that stops answering never holds the window: a tick while a pass is under way starts nothing, a
// click then starts one more pass when it ends, and the results are shown on the window's thread.
// A call to the file that has not returned kCallTimeout after it began fails its pass as an
// outage; what the pass brings when the call returns at last is dropped, and the next pass starts.
class RefreshCycle final {
  public:
    // The station file is opened and read through calls: the operating system's own, or in a
    // test, calls that fail on demand. The worker starts here.
    explicit RefreshCycle(WindowControls& window,
                          station::SystemCalls& calls = station::systemCalls());
    // Lets the worker go without waiting for it, and posts no more results to the window.
    ~RefreshCycle();
    RefreshCycle(const RefreshCycle&) = delete;
    RefreshCycle& operator=(const RefreshCycle&) = delete;

    // The station file to open instead of the one beside the executable; set before the load,
    // which opens it (a later reopen of a dead handle opens the same path again). After the load
    // the worker reads the path at any time: a later call changes nothing.
    void setRutaFichero(std::filesystem::path path) {
        if (!loaded_) worker_.setRutaFichero(std::move(path));
    }

    // The window's load: before the window first appears, once; later calls do nothing.
    void load();
    void timer1Tick() noexcept;
    void cmdVerClick() noexcept;
    // On the window's thread, after WindowControls::postResults: shows what the worker has done,
    // unless a modal box waits, after whose answer it is shown.
    void resultsArrived() noexcept;

    // The window is being destroyed: no more results are posted to it, and the worker is let go.
    void windowGone() noexcept { worker_.release(); }

    // Whether the load's open or a pass is under way on the worker, shown or not yet.
    bool passUnderWay() const noexcept { return underWay_.has_value(); }
    // Passes shown so far, those that timed out among them.
    int passesShown() const noexcept { return passesShown_; }
    // Waits until the worker has finished what it was asked, for at most patience; whether it
    // has. Once it has, it makes no call to the file until the next tick, click or load.
    bool waitForTheWorker(std::chrono::milliseconds patience) {
        return worker_.waitUntilIdle(patience);
    }

    // One pass over the station file into the text box, on the worker once the pass under way
    // there has ended, waited for; see station::LockScan.
    std::int32_t MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre);

  private:
    // The request under way on the worker.
    struct UnderWay {
        PassRequest::Kind kind;
        bool timedOut = false;
    };

    void begin(const PassRequest& request);
    void beginPass(station::PathCheck check);
    // A call of the request under way that has not returned in time fails it now.
    void noticeTimeOut();
    void show(const PassOutcome& outcome);
    // After a pass: a new failure is shown, a repeated one is not, and where either says the open
    // file is of no more use, the next pass opens it again first.
    void reportOutage(const std::optional<std::system_error>& failure);
    bool refreshAllowed() const { return !ending_ && openMessageBoxes_ == 0; }
    void showMessageBox(const std::string& text);
    // Inside a catch block: reports the failure being handled and ends the program.
    void endOnUnhandledFailure() noexcept;

    WindowControls& window_;
    station::SystemCalls& calls_;
    PassWorker worker_;
    bool loaded_ = false;
    bool ending_ = false;
    // While one of the window's modal message boxes waits, no pass starts and results wait: no
    // pile of boxes grows every 100 ms. The outage box does not wait, so passes go on while it
    // is shown.
    int openMessageBoxes_ = 0;
    std::optional<UnderWay> underWay_;
    bool clickWaiting_ = false;
    int passesShown_ = 0;
    // Refreshes keep failing: the outage whose box is up.
    bool inOutage_ = false;
    bool reopenDue_ = false;
    int ticksSincePathCheck_ = 0;
};

// The report of a failure that nothing handled, for the failure being handled in a catch block.
std::string unhandledFailureReport();

}  // namespace viewer
