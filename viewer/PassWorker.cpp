#include "viewer/PassWorker.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "station/Display.h"
#include "station/Failure.h"
#include "station/LockScan.h"

namespace viewer {

struct PassWorker::State {
    State(station::SystemCalls& systemCalls, std::function<void()> ready)
        : calls(systemCalls), station(files, openMessage), resultsReady(std::move(ready)) {}

    void perform(const PassRequest& request, PassOutcome& outcome) noexcept;
    void open(PassOutcome& outcome);
    void pass(const PassRequest& request, PassOutcome& outcome);
    void scan(const PassRequest& request, PassOutcome& outcome);
    void scanInto(station::TextHolder& listing, station::KeptFailure& kept, PassOutcome& outcome);

    // The open's message, kept for the window to show.
    struct OpenMessage final : station::MessageSink {
        void showMessage(const std::string& message, const std::system_error&) override {
            text = message;
        }
        std::optional<std::string> text;
    };

    // The listing of one pass, kept for the window to show.
    class KeptListing final : public station::TextHolder {
      public:
        explicit KeptListing(std::optional<std::string>& listing) : listing_(listing) {}
        std::string text() const override { return listing_.value_or(std::string()); }
        void setText(const std::string& text) override { listing_ = text; }

      private:
        std::optional<std::string>& listing_;
    };

    // Marks a call to the file as under way, from its start by the calls' clock to its return.
    class CallUnderWay {
      public:
        explicit CallUnderWay(State& state) : state_(state) {
            const Clock::time_point now = station::now(state.calls);
            const std::lock_guard lock(state.mutex);
            state.callSince = now;
        }
        ~CallUnderWay() {
            const std::lock_guard lock(state_.mutex);
            state_.callSince.reset();
        }
        CallUnderWay(const CallUnderWay&) = delete;
        CallUnderWay& operator=(const CallUnderWay&) = delete;

      private:
        State& state_;
    };

    // The station file as the scan reads it, each record's read marked as a call under way.
    class MarkedReads final : public station::ScannedFile {
      public:
        explicit MarkedReads(State& state) : state_(state) {}
        void repositionToFirstScanned() override { state_.station.repositionToFirstScanned(); }
        bool endOfFile() override { return state_.station.endOfFile(); }
        std::error_code read(std::int32_t record, station::StationRecord& buffer) override {
            const CallUnderWay call(state_);
            return state_.station.read(record, buffer);
        }

      private:
        State& state_;
    };

    // The thread's own, touched by it alone once a request is under way.
    station::SystemCalls& calls;
    OpenMessage openMessage;
    station::FileTable files{calls};
    // Holds RutaFichero and NumFichero, and through NumFichero the open station file.
    station::StationFile station;
    bool reopenDue = false;

    // Shared with the window's thread.
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<PassRequest> pending;
    bool working = false;
    std::optional<PassOutcome> finished;
    std::optional<PassOutcome> finishedScan;
    std::optional<Clock::time_point> callSince;
    std::function<void()> resultsReady;
    bool released = false;
};

PassWorker::PassWorker(station::SystemCalls& calls, std::function<void()> resultsReady)
    : state_(std::make_shared<State>(calls, std::move(resultsReady))) {
    std::thread(&PassWorker::run, state_).detach();
}

PassWorker::~PassWorker() { release(); }

void PassWorker::setRutaFichero(std::filesystem::path path) {
    const std::lock_guard lock(state_->mutex);
    state_->station.setRutaFichero(std::move(path));
}

void PassWorker::begin(const PassRequest& request) {
    const std::lock_guard lock(state_->mutex);
    state_->pending = request;
    state_->changed.notify_all();
}

std::optional<PassOutcome> PassWorker::takeOutcome() {
    const std::lock_guard lock(state_->mutex);
    return std::exchange(state_->finished, std::nullopt);
}

std::optional<PassWorker::Clock::time_point> PassWorker::callUnderWaySince() {
    const std::lock_guard lock(state_->mutex);
    return state_->callSince;
}

PassOutcome PassWorker::scanAndWait(std::int32_t ultimoPuestoLibre) {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return !state_->pending && !state_->working; });
    state_->finishedScan.reset();
    state_->pending = PassRequest{PassRequest::Kind::scan, station::PathCheck::handleOnly, false,
                                  ultimoPuestoLibre};
    state_->changed.notify_all();
    state_->changed.wait(lock, [this] { return state_->finishedScan.has_value(); });
    return *std::exchange(state_->finishedScan, std::nullopt);
}

bool PassWorker::waitUntilIdle(std::chrono::milliseconds patience) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, patience,
                                    [this] { return !state_->pending && !state_->working; });
}

void PassWorker::release() noexcept {
    const std::lock_guard lock(state_->mutex);
    state_->released = true;
    state_->resultsReady = nullptr;
    state_->changed.notify_all();
}

void PassWorker::run(std::shared_ptr<State> state) noexcept {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&state] { return state->pending || state->released; });
        if (state->released) return;
        const PassRequest request = *std::exchange(state->pending, std::nullopt);
        state->working = true;
        lock.unlock();
        PassOutcome outcome;
        state->perform(request, outcome);
        lock.lock();
        state->working = false;
        if (request.kind == PassRequest::Kind::scan) {
            state->finishedScan = std::move(outcome);
        } else {
            state->finished = std::move(outcome);
            // Under the lock: release() cannot end the window's part while the call is made.
            if (state->resultsReady) state->resultsReady();
        }
        state->changed.notify_all();
    }
}

void PassWorker::State::perform(const PassRequest& request, PassOutcome& outcome) noexcept {
    try {
        switch (request.kind) {
            case PassRequest::Kind::open:
                open(outcome);
                break;
            case PassRequest::Kind::pass:
                pass(request, outcome);
                break;
            case PassRequest::Kind::scan:
                scan(request, outcome);
                break;
        }
    } catch (...) {
        outcome.unhandled = std::current_exception();
    }
}

void PassWorker::State::open(PassOutcome& outcome) {
    openMessage.text.reset();
    {
        const CallUnderWay call(*this);
        station.AbrirFicheroPuestos();
    }
    outcome.openFailure = std::move(openMessage.text);
}

void PassWorker::State::pass(const PassRequest& request, PassOutcome& outcome) {
    KeptListing listing(outcome.listing);
    station::KeptFailure kept;
    // Inside a catch block: the failure being handled ends the pass before its first record, as
    // a pass that failed there would end. What is not a failure goes on to the caller.
    auto failBeforeThePass = [&] {
        const std::system_error failure = station::currentFailure();
        listing.setText("");
        kept.showMessage(station::failureNumber(failure), failure);
    };
    reopenDue = reopenDue || request.reopen;
    if (!reopenDue) {
        try {
            const CallUnderWay call(*this);
            reopenDue = station.closeIfNoLongerAtPath(request.check);
        } catch (...) {
            failBeforeThePass();
        }
    }
    if (reopenDue && !kept.failure) {
        try {
            const CallUnderWay call(*this);
            station.reopen();
            reopenDue = false;
        } catch (...) {
            failBeforeThePass();
        }
    }
    outcome.ultimoPuestoLibre = request.ultimoPuestoLibre;
    if (!kept.failure) scanInto(listing, kept, outcome);
    outcome.failure = kept.failure;
}

void PassWorker::State::scan(const PassRequest& request, PassOutcome& outcome) {
    KeptListing listing(outcome.listing);
    station::KeptFailure kept;
    outcome.ultimoPuestoLibre = request.ultimoPuestoLibre;
    scanInto(listing, kept, outcome);
    outcome.failure = kept.failure;
}

void PassWorker::State::scanInto(station::TextHolder& listing, station::KeptFailure& kept,
                                 PassOutcome& outcome) {
    MarkedReads file(*this);
    outcome.connected = station::LockScan(file, listing, kept)
                            .MLP_PuestosConectadosGrabados(outcome.ultimoPuestoLibre);
}

}  // namespace viewer
