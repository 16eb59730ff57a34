#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "station/Display.h"
#include "station/StationFile.h"

namespace viewer {

// The application's title: message boxes carry it.
inline constexpr char kApplicationTitle[] = "prOstrevan";

// What the program ends with when a failure reached a tick or a click and nothing handled it.
inline constexpr int kUnhandledFailureExitStatus = 1;

inline constexpr int kRefreshIntervalMs = 100;
// Every tick asks the open handle whether its file still has a name; every tenth, about once a
// second, also whether the path still names it (more work, and on a share more round trips).
inline constexpr int kTicksPerPathCheck = 10;

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
};

// The monitor's behaviour, the same under every toolkit: the window's load opens the station file
// and starts Timer1; every tick and every click of the blank button rescans it into txtPuestos
// and puts the last free station in the caption; a tick then keeps the window on top. A failure
// that nothing handles is reported and ends the program. A pass that fails part-way (a failing
// disk, a dropped share) is reported once per outage, in a box that does not stop the refreshes,
// so that the listing comes back by itself when the file reads again, and the box goes by itself
// then too; where the open file no longer reads, it is opened again by its path. Each toolkit's
// window hands its events here and lends its controls. The listing follows the file at the path:
// a file deleted, renamed away or replaced under the name is closed and the path opened again,
// never created; nothing there is an outage like a failed pass.
class RefreshCycle final : private station::MessageSink {
  public:
    // The station file is opened and read through calls: the operating system's own, or in a
    // test, calls that fail on demand.
    explicit RefreshCycle(WindowControls& window,
                          station::SystemCalls& calls = station::systemCalls())
        : window_(window), files_(calls), station_(files_, *this) {}

    // The station file to open instead of the one beside the executable; set before the load,
    // which opens it (a later reopen of a dead handle opens the same path again).
    void setRutaFichero(std::filesystem::path path) { station_.setRutaFichero(std::move(path)); }

    // The window's load: before the window first appears, once; later calls do nothing.
    void load();
    void timer1Tick() noexcept;
    void cmdVerClick() noexcept;

    // One pass over the station file into the text box; see station::LockScan.
    std::int32_t MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre);

  private:
    void RefrescarPuestos(station::PathCheck check);
    // Closes the open file if it is no longer the one at the path; the refresh then opens the
    // path again. A failure is the pass's.
    void followPath(station::PathCheck check);
    // Opens the path again, closing the file first if it is still open (it no longer reads); a
    // failure is the pass's.
    void reopen();
    // Inside a catch block: the failure being handled ends the refresh before its pass, as a
    // pass that failed at its first record would end.
    void failBeforeThePass();
    // After a pass: a new failure is shown, a repeated one is not, and where either says the open
    // file is of no more use, the next refresh opens it again first.
    void reportOutage();
    bool refreshAllowed() const { return !ending_ && openMessageBoxes_ == 0; }
    void showMessage(const std::string& text, const std::system_error& cause) override;
    void showMessageBox(const std::string& text);
    // Inside a catch block: reports the failure being handled and ends the program.
    void endOnUnhandledFailure() noexcept;

    WindowControls& window_;
    station::FileTable files_;
    // Holds RutaFichero and NumFichero, and through NumFichero the open station file.
    station::StationFile station_;
    bool loaded_ = false;
    bool ending_ = false;
    // While one of the window's modal message boxes waits, ticks and clicks refresh nothing: no
    // pass runs nested inside another, and no pile of boxes grows every 100 ms. The outage box
    // does not wait, so refreshes go on while it is shown.
    int openMessageBoxes_ = 0;
    // Where the scan reports the failure that ended its pass: kept for the refresh to act on.
    station::KeptFailure passFailure_;
    // Refreshes keep failing: the outage whose box is up.
    bool inOutage_ = false;
    bool reopenDue_ = false;
    int ticksSincePathCheck_ = 0;
};

// The report of a failure that nothing handled, for the failure being handled in a catch block.
std::string unhandledFailureReport();

}  // namespace viewer
