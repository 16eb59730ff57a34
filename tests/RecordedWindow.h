#pragma once

#include <filesystem>
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
    void showMessageBox(const std::string& text) override { modalBoxes.push_back(text); }
    void showOutageBox(const std::string& text) override {
        outageBoxes.push_back(text);
        outageBoxOpen = true;
    }
    void closeOutageBox() noexcept override { outageBoxOpen = false; }
    void keepTopmost() noexcept override {}
    void endProgram(int status) noexcept override { ended = status; }

    std::string caption;
    station::PlainText listing;
    std::vector<std::string> modalBoxes;
    std::vector<std::string> outageBoxes;
    bool outageBoxOpen = false;
    int ended = -1;
};

// The refresh cycle over the station file at path, in a recorded window: loaded, and ticked once.
// It reaches the file through calls.
struct RecordedMonitor {
    explicit RecordedMonitor(const std::filesystem::path& stationFile,
                             station::SystemCalls& calls = station::systemCalls())
        : cycle(window, calls) {
        cycle.setRutaFichero(stationFile);
        cycle.load();
        cycle.timer1Tick();
    }
    RecordedWindow window;
    viewer::RefreshCycle cycle;
};

}  // namespace testing_support
