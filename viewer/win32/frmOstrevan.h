#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "viewer/RefreshCycle.h"
#include "viewer/win32/DpiScaling.h"
#include "viewer/win32/OutageBox.h"

namespace viewer {

// The monitor's one window in native Win32 controls: a blank push button across its top, the
// listing's multi-line EDIT below it, and Timer1. One window procedure hands each message to a
// handler of its own; the events go on to the refresh cycle, which it lends its controls.
class frmOstrevan final : private WindowControls {
  public:
    // Creates the window, hidden, laid out at the DPI that dpi gives; it reaches the station file
    // through calls.
    explicit frmOstrevan(HINSTANCE instance, DpiScaling dpi = DpiScaling::ofThisSystem(),
                         station::SystemCalls& calls = station::systemCalls());
    frmOstrevan(const frmOstrevan&) = delete;
    frmOstrevan& operator=(const frmOstrevan&) = delete;
    ~frmOstrevan() override;

    // The station file to open instead of the one beside the executable; takes effect only when
    // set before the window is first shown, since the file is opened then, once.
    void setRutaFichero(std::filesystem::path path) { cycle_.setRutaFichero(std::move(path)); }

    HWND handle() const { return frmOstrevan_; }

    // Whether a pass is under way, and how many have been shown: what a caller waits on.
    bool refreshUnderWay() const noexcept { return cycle_.passUnderWay(); }
    int refreshesShown() const noexcept { return cycle_.passesShown(); }
    // Waits until the worker has finished what it was asked; see RefreshCycle.
    bool waitForTheWorker(std::chrono::milliseconds patience) {
        return cycle_.waitForTheWorker(patience);
    }

    // Runs the load, then shows the window with the text box focused.
    void show(int showCommand);
    // Runs the message loop until the program ends; returns its exit status.
    int run();

    // For a message loop, before a message is dispatched: Tab and Shift+Tab move between the
    // text box and the button, as in a dialog, and are not dispatched. Tells whether it did so.
    bool movedFocus(const MSG& message);

  private:
    class TextBox;

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void onCreate(HWND window);
    void onTimer(WPARAM timer);
    void onCommand(WPARAM wParam);
    void onDpiChanged(UINT dpi, const RECT& suggested);
    void onDestroy();
    void onResults();
    // Places the controls and sizes the window for dpi, from the layout in twips.
    void layOut(UINT dpi);

    void startTimer1(int intervalMs) override;
    void stopTimer1() override;
    void setCaption(const std::string& caption) override;
    station::TextHolder& txtPuestos() override;
    void showMessageBox(const std::string& text) override;
    void showOutageBox(const std::string& text) override;
    void closeOutageBox() noexcept override;
    void keepTopmost() noexcept override;
    void endProgram(int status) noexcept override;
    void postResults() noexcept override;

    HINSTANCE instance_;
    DpiScaling dpi_;
    HWND frmOstrevan_ = nullptr;
    // The window the worker posts its results to: set at its creation, before the worker has
    // anything to post, and never changed, since the worker reads it.
    HWND resultsWindow_ = nullptr;
    HWND cmdVer_ = nullptr;
    HWND txtPuestos_ = nullptr;
    HFONT listingFont_ = nullptr;
    std::unique_ptr<TextBox> txtPuestosText_;
    OutageBox outageBox_;
    RefreshCycle cycle_;
};

}  // namespace viewer
