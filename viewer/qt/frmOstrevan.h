#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "viewer/RefreshCycle.h"
#include "viewer/qt/KeepTopmost.h"

class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace viewer {

// The monitor's one window in Qt Widgets: a blank button across its top, the listing box below
// it, and Timer1. Its events go to the refresh cycle, which it lends its controls.
class frmOstrevan final : public QWidget, private WindowControls {
    Q_OBJECT

  public:
    explicit frmOstrevan(QWidget* parent = nullptr);
    ~frmOstrevan() override;

    // The station file to open instead of the one beside the executable; takes effect only when
    // set before the window is first shown, since the file is opened then, once.
    void setRutaFichero(std::filesystem::path path) { cycle_.setRutaFichero(std::move(path)); }

    // One pass over the station file into the text box; see station::LockScan.
    std::int32_t MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre) {
        return cycle_.MLP_PuestosConectadosGrabados(RT_UltimoPuestoLibre);
    }

    // Whether a pass is under way, and how many have been shown: what a caller waits on.
    bool refreshUnderWay() const noexcept { return cycle_.passUnderWay(); }
    int refreshesShown() const noexcept { return cycle_.passesShown(); }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    class TextBox;

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

    QPushButton* cmdVer;
    QPlainTextEdit* txtPuestos_;
    QTimer* Timer1;
    std::unique_ptr<TextBox> txtPuestosText_;
    QPointer<QMessageBox> outageBox_;
    KeepTopmost topmost_;
    RefreshCycle cycle_;
};

}  // namespace viewer
