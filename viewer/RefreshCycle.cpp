#include "viewer/RefreshCycle.h"

#include <exception>

#include "station/Failure.h"
#include "station/LockScan.h"
#include "station/PlatformFile.h"

namespace viewer {

void RefreshCycle::load() {
    if (loaded_) return;
    loaded_ = true;
    window_.startTimer1(kRefreshIntervalMs);
    station_.AbrirFicheroPuestos();
}

void RefreshCycle::timer1Tick() noexcept {
    if (!refreshAllowed()) return;
    try {
        const bool pathDue = ++ticksSincePathCheck_ >= kTicksPerPathCheck;
        if (pathDue) ticksSincePathCheck_ = 0;
        RefrescarPuestos(pathDue ? station::PathCheck::withPath : station::PathCheck::handleOnly);
        window_.keepTopmost();
    } catch (...) {
        endOnUnhandledFailure();
    }
}

void RefreshCycle::cmdVerClick() noexcept {
    if (!refreshAllowed()) return;
    try {
        // A click looks at the path too: the user asks for the truth now.
        RefrescarPuestos(station::PathCheck::withPath);
    } catch (...) {
        endOnUnhandledFailure();
    }
}

std::int32_t RefreshCycle::MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre) {
    return station::LockScan(station_, window_.txtPuestos(), passFailure_)
        .MLP_PuestosConectadosGrabados(RT_UltimoPuestoLibre);
}

void RefreshCycle::RefrescarPuestos(station::PathCheck check) {
    std::int32_t ultimoPuestoLibre = 0;
    passFailure_.failure.reset();
    if (!reopenDue_) followPath(check);
    if (reopenDue_ && !passFailure_.failure) reopen();
    if (!passFailure_.failure) MLP_PuestosConectadosGrabados(ultimoPuestoLibre);
    window_.setCaption(std::to_string(ultimoPuestoLibre));
    reportOutage();
}

void RefreshCycle::followPath(station::PathCheck check) {
    try {
        reopenDue_ = station_.closeIfNoLongerAtPath(check);
    } catch (...) {
        failBeforeThePass();
    }
}

void RefreshCycle::reopen() {
    try {
        station_.reopen();
        reopenDue_ = false;
    } catch (...) {
        failBeforeThePass();
    }
}

void RefreshCycle::failBeforeThePass() {
    const std::system_error failure = station::currentFailure();
    window_.txtPuestos().setText("");
    passFailure_.showMessage(station::failureNumber(failure), failure);
}

void RefreshCycle::reportOutage() {
    if (!passFailure_.failure) {
        // Read to the end: the outage is over, and a box still reporting it would tell whoever
        // looks later of a failure that is no more.
        if (inOutage_) window_.closeOutageBox();
        inOutage_ = false;
        return;
    }
    // Until a pass reads to the end again it is one outage, whatever each failure says on the way
    // (a dropped share's read, then its reopen while the server is down, a share that comes and
    // goes): one box. A failure that goes on through the next pass is taken for a dead handle
    // too: a network file system may say so in words of its own.
    if (inOutage_ || station::PlatformFile::handleGone(passFailure_.failure->code())) {
        reopenDue_ = true;
    }
    if (inOutage_) return;
    try {
        window_.showOutageBox(station::failureNumber(*passFailure_.failure));
        inOutage_ = true;
    } catch (...) {
        // No box could be made (the desktop out of resources, say): the next failing refresh
        // tries again. The monitor goes on; it is the file that failed, not the program.
    }
}

void RefreshCycle::showMessage(const std::string& text, const std::system_error&) {
    showMessageBox(text);
}

void RefreshCycle::showMessageBox(const std::string& text) {
    struct Waiting {
        int& boxes;
        explicit Waiting(int& count) : boxes(++count) {}
        ~Waiting() { --boxes; }
    } waiting(openMessageBoxes_);
    window_.showMessageBox(text);
}

void RefreshCycle::endOnUnhandledFailure() noexcept {
    ending_ = true;
    window_.stopTimer1();
    try {
        showMessageBox(unhandledFailureReport());
    } catch (...) {
        // Nothing is left to report with; the program ends all the same.
    }
    window_.endProgram(kUnhandledFailureExitStatus);
}

std::string unhandledFailureReport() {
    constexpr char kEnd[] = "\n\nThe monitor ends here.";
    try {
        const std::system_error failure = station::currentFailure();
        return "Run-time failure " + station::failureNumber(failure) + ":\n\n" +
               station::failureDescription(failure) + kEnd;
    } catch (const std::exception& other) {
        return std::string("Run-time failure:\n\n") + other.what() + kEnd;
    }
}

}  // namespace viewer
