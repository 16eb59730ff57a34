#pragma once

#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "station/Display.h"
#include "station/StationFile.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace viewer {

// The application's title: message boxes carry it.
inline constexpr char kApplicationTitle[] = "prOstrevan";

// What the program ends with when a failure reached a tick or a click and nothing handled it.
inline constexpr int kUnhandledFailureExitStatus = 1;

// The monitor's one window. It opens the station file when it is first shown, rescans it every
// 100 ms and on every click of the blank button across its top, lists every record tried in its
// text box, shows the last free station in its caption, and keeps itself above ordinary windows.
class frmOstrevan final : public QWidget, private station::MessageSink {
    Q_OBJECT

  public:
    explicit frmOstrevan(QWidget* parent = nullptr);
    ~frmOstrevan() override;

    // The station file to open instead of the one beside the executable; takes effect only when
    // set before the window is first shown, since the file is opened then, once.
    void setRutaFichero(std::filesystem::path path) { station_.setRutaFichero(std::move(path)); }

    // One pass over the station file into the text box; see station::LockScan.
    std::int32_t MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    class TextBox;

    void load();
    void timer1Tick();
    void cmdVerClick();
    void RefrescarPuestos();
    bool refreshAllowed() const { return !ending_ && openMessageBoxes_ == 0; }
    void showMessage(const std::string& text, const std::system_error& cause) override;
    void showMessageBox(const QString& text);
    // Inside a catch block: reports the failure being handled and ends the program.
    void endOnUnhandledFailure() noexcept;

    QPushButton* cmdVer;
    QPlainTextEdit* txtPuestos;
    QTimer* Timer1;
    std::unique_ptr<TextBox> txtPuestosText_;
    station::FileTable files_;
    // Holds RutaFichero and NumFichero, and through NumFichero the open station file.
    station::StationFile station_;
    bool loaded_ = false;
    bool ending_ = false;
    // While one of the window's message boxes waits, ticks and clicks refresh nothing: no pass
    // runs nested inside another, and no pile of boxes grows every 100 ms.
    int openMessageBoxes_ = 0;
};

}  // namespace viewer
