// The cost of one tick of the monitor against the floor under it.
//
// Floor: one lock query and one 81-byte read per record, with no listing: what any scan must do.
// Pass:  one pass of the lock scan into a plain text holder.
// Follow: the look at whether the open file is still the one at its path, before each pass.
// Tick:  one tick of the real window: the pass on its worker, its results shown in the text box
//        and the caption, the keep-topmost step, and the event loop's turn after it (layout and
//        repaint of a changed listing).
//
// A tick's pass runs on the window's worker thread, so the ticks are timed by the wall clock.
//
// Either a tenth of the records are locked by another process, or 10 of them whatever the size
// (which shows how the cost grows with the file alone, up to 100,000 records). TickChanging
// toggles one lock before every tick, so the text box is rewritten each time, as on a busy day. Run
// it under an X server (bench/tick_figures.sh starts one) to include the keep-topmost step;
// without one it runs offscreen.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "Support.h"
#include "station/LockScan.h"
#include "station/StationFile.h"
#include "viewer/qt/frmOstrevan.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;

enum class Locks { Tenth, Ten };

// A station file of `records` records beside an owner holding some of them, evenly spread.
struct BusyStationFile {
    BusyStationFile(long long records, Locks spread) : owner(folder.stationFile()) {
        owner.grow(records);
        const long long locks = spread == Locks::Tenth ? (records + 9) / 10 : 10;
        const long long step = std::max(1LL, (records - 1) / locks);
        long long held = 0;
        for (long long record = 2; record <= records && held < locks; record += step, ++held)
            owner.lock(std::to_string(record));
    }
    TempFolder folder;
    OwnerProcess owner;
};

void setCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["ns_per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Floor(benchmark::State& state, Locks locks) {
    BusyStationFile busy(state.range(0), locks);
    const int fd = ::open(busy.folder.stationFile().c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 81> buffer{};
    for (auto _ : state) {
        for (off_t offset = 81;; offset += 81) {
            struct flock query {};
            query.l_type = F_WRLCK;
            query.l_whence = SEEK_SET;
            query.l_start = offset;
            query.l_len = 81;
            ::fcntl(fd, F_OFD_GETLK, &query);
            benchmark::DoNotOptimize(query.l_type);
            if (::pread(fd, buffer.data(), buffer.size(), offset) < 81) break;
        }
    }
    ::close(fd);
    setCounters(state);
}

void Pass(benchmark::State& state, Locks locks) {
    BusyStationFile busy(state.range(0), locks);
    testing_support::OpenedStation opened(busy.folder.stationFile());
    for (auto _ : state) {
        std::int32_t lastFree = 0;
        benchmark::DoNotOptimize(opened.scan(lastFree));
    }
    setCounters(state);
}

// The look at whether the open file is still the one at its path, which the monitor makes before
// each pass: the handle alone (every tick), or the path too (every tenth tick, and on a click).
void FollowCheck(benchmark::State& state, station::PathCheck check) {
    BusyStationFile busy(10, Locks::Tenth);
    testing_support::OpenedStation opened(busy.folder.stationFile());
    for (auto _ : state) {
        benchmark::DoNotOptimize(opened.stationFile.closeIfNoLongerAtPath(check));
    }
}

// The monitor's window over a station file, with its own timer stopped: each tick is sent by
// hand, exactly as the timer sends it.
class WindowUnderTest {
  public:
    explicit WindowUnderTest(const std::filesystem::path& stationFile) {
        window_.setRutaFichero(stationFile);
        window_.show();
        timer_ = window_.findChild<QTimer*>(QStringLiteral("Timer1"));
        timer_->stop();
        // The load's open runs on the window's worker; a tick starts a pass only after it.
        while (window_.refreshUnderWay())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    ~WindowUnderTest() { window_.close(); }

    // The pass runs on the window's worker: a tick's refresh ends when its results are shown.
    void tick() {
        const int shown = window_.refreshesShown();
        QMetaObject::invokeMethod(timer_, "timeout", Qt::DirectConnection);
        while (window_.refreshesShown() == shown) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        QCoreApplication::processEvents();
    }

  private:
    viewer::frmOstrevan window_;
    QTimer* timer_ = nullptr;
};

void runTicks(benchmark::State& state, Locks locks, bool changeEveryTick) {
    BusyStationFile busy(state.range(0), locks);
    WindowUnderTest window(busy.folder.stationFile());
    window.tick();
    bool toggled = false;
    for (auto _ : state) {
        if (changeEveryTick) {
            state.PauseTiming();
            // Record 3 is never one of the evenly spread locks of a tenth (2, 12, ...).
            busy.owner.command((toggled ? "unlock" : "lock") + std::string(" 3"));
            toggled = !toggled;
            state.ResumeTiming();
        }
        window.tick();
    }
    setCounters(state);
}

void Tick(benchmark::State& state, Locks locks) { runTicks(state, locks, false); }
void TickChanging(benchmark::State& state, Locks locks) { runTicks(state, locks, true); }

}  // namespace

BENCHMARK_CAPTURE(Floor, tenth, Locks::Tenth)->RangeMultiplier(10)->Range(10, 10000);
BENCHMARK_CAPTURE(Pass, tenth, Locks::Tenth)->RangeMultiplier(10)->Range(10, 10000);
BENCHMARK_CAPTURE(Tick, tenth, Locks::Tenth)->RangeMultiplier(10)->Range(10, 10000)->UseRealTime();
BENCHMARK_CAPTURE(FollowCheck, handle, station::PathCheck::handleOnly);
BENCHMARK_CAPTURE(FollowCheck, path, station::PathCheck::withPath);
BENCHMARK_CAPTURE(TickChanging, tenth, Locks::Tenth)
    ->RangeMultiplier(10)
    ->Range(10, 10000)
    ->UseRealTime();
BENCHMARK_CAPTURE(Floor, ten, Locks::Ten)->RangeMultiplier(10)->Range(100, 100000);
BENCHMARK_CAPTURE(Tick, ten, Locks::Ten)->RangeMultiplier(10)->Range(100, 100000)->UseRealTime();

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
