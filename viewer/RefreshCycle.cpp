#include "viewer/RefreshCycle.h"

#include <exception>
#include <utility>

#include "station/Failure.h"
#include "station/PlatformFile.h"

namespace viewer {

RefreshCycle::RefreshCycle(WindowControls& window, station::SystemCalls& calls)
    : window_(window), calls_(calls), worker_(calls, [&window] { window.postResults(); }) {}

RefreshCycle::~RefreshCycle() = default;

void RefreshCycle::load() {
    if (loaded_) return;
    loaded_ = true;
    window_.startTimer1(kRefreshIntervalMs);
    begin({PassRequest::Kind::open});
}

void RefreshCycle::timer1Tick() noexcept {
    if (!refreshAllowed()) return;
    // Results whose post was lost (no memory for it), or not yet handled, are taken up here;
    // they may end the program, and then the tick starts nothing.
    resultsArrived();
    if (!refreshAllowed()) return;
    try {
        noticeTimeOut();
        if (!underWay_) {
            const bool pathDue = ++ticksSincePathCheck_ >= kTicksPerPathCheck;
            if (pathDue) ticksSincePathCheck_ = 0;
            beginPass(pathDue ? station::PathCheck::withPath : station::PathCheck::handleOnly);
        }
        window_.keepTopmost();
    } catch (...) {
        endOnUnhandledFailure();
    }
}

void RefreshCycle::cmdVerClick() noexcept {
    if (!refreshAllowed()) return;
    try {
        if (underWay_) {
            clickWaiting_ = true;
            return;
        }
        // A click looks at the path too: the user asks for the truth now.
        beginPass(station::PathCheck::withPath);
    } catch (...) {
        endOnUnhandledFailure();
    }
}

void RefreshCycle::resultsArrived() noexcept {
    if (!refreshAllowed() || !underWay_) return;
    try {
        std::optional<PassOutcome> outcome = worker_.takeOutcome();
        if (!outcome) return;
        const UnderWay finished = *std::exchange(underWay_, std::nullopt);
        // A result that comes after its time-out is of a file that was shown as not answering:
        // dropped. The call has returned, so the next pass may start at once.
        bool nextPassDue = finished.timedOut;
        if (!finished.timedOut) {
            if (finished.kind == PassRequest::Kind::open) {
                if (outcome->openFailure) showMessageBox(*outcome->openFailure);
                if (outcome->unhandled) std::rethrow_exception(outcome->unhandled);
            } else {
                show(*outcome);
            }
        }
        if (!refreshAllowed() || underWay_) return;
        nextPassDue = std::exchange(clickWaiting_, false) || nextPassDue;
        if (nextPassDue) beginPass(station::PathCheck::withPath);
    } catch (...) {
        endOnUnhandledFailure();
    }
}

std::int32_t RefreshCycle::MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre) {
    const PassOutcome outcome = worker_.scanAndWait(RT_UltimoPuestoLibre);
    if (outcome.listing) window_.txtPuestos().setText(*outcome.listing);
    if (outcome.unhandled) std::rethrow_exception(outcome.unhandled);
    RT_UltimoPuestoLibre = outcome.ultimoPuestoLibre;
    return outcome.connected;
}

void RefreshCycle::begin(const PassRequest& request) {
    worker_.begin(request);
    underWay_ = UnderWay{request.kind};
}

void RefreshCycle::beginPass(station::PathCheck check) {
    begin({PassRequest::Kind::pass, check, std::exchange(reopenDue_, false)});
}

void RefreshCycle::noticeTimeOut() {
    if (!underWay_ || underWay_->timedOut) return;
    const std::optional<PassWorker::Clock::time_point> since = worker_.callUnderWaySince();
    if (!since || station::now(calls_) - *since < kCallTimeout) return;
    underWay_->timedOut = true;
    // The load's open may have left the file closed: the next pass opens the path.
    if (underWay_->kind == PassRequest::Kind::open) reopenDue_ = true;
    PassOutcome timedOut;
    timedOut.listing.emplace();
    timedOut.failure.emplace(station::PlatformFile::timedOut());
    show(timedOut);
}

void RefreshCycle::show(const PassOutcome& outcome) {
    if (outcome.listing) window_.txtPuestos().setText(*outcome.listing);
    if (outcome.unhandled) std::rethrow_exception(outcome.unhandled);
    ++passesShown_;
    window_.setCaption(std::to_string(outcome.ultimoPuestoLibre));
    reportOutage(outcome.failure);
}

void RefreshCycle::reportOutage(const std::optional<std::system_error>& failure) {
    if (!failure) {
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
    if (inOutage_ || station::PlatformFile::handleGone(failure->code())) reopenDue_ = true;
    if (inOutage_) return;
    try {
        window_.showOutageBox(station::failureNumber(*failure));
        inOutage_ = true;
    } catch (...) {
        // No box could be made (the desktop out of resources, say): the next failing refresh
        // tries again. The monitor goes on; it is the file that failed, not the program.
    }
}

void RefreshCycle::showMessageBox(const std::string& text) {
    {
        struct Waiting {
            int& boxes;
            explicit Waiting(int& count) : boxes(++count) {}
            ~Waiting() { --boxes; }
        } waiting(openMessageBoxes_);
        window_.showMessageBox(text);
    }
    // What the worker brought while the box waited is shown now.
    resultsArrived();
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
