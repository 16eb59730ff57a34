// The refresh cycle's rules for a station file that fails, on every platform alike: one box per
// outage, the file opened again by its path where its handle is gone or its failure goes on, a
// file that lost its name or is no longer the one at the path let go, and a call to the file that
// does not return timed out while the window goes on. The faults come through
// the station code's own table of system calls, over a real file.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "FaultyCalls.h"
#include "RecordedWindow.h"
#include "Support.h"

namespace {

using testing_support::FaultyCalls;
using testing_support::RecordedMonitor;
using testing_support::TempFolder;
using testing_support::writeStationFile;

constexpr char kSevenRecords[] = "2\t3\r\n4\t5\t6\r\n7\t8\t";

std::vector<std::string> box(int number) { return {std::to_string(number)}; }

// The monitor over a station file of 7 records, which its first tick has listed.
class FaultsUnderTheMonitor : public ::testing::Test {
  protected:
    static std::filesystem::path withSevenRecords(const TempFolder& folder) {
        writeStationFile(folder.stationFile(), 7 * 81);
        return folder.stationFile();
    }

    TempFolder folder;
    FaultyCalls faults;
    RecordedMonitor monitor{withSevenRecords(folder), faults.calls()};
    testing_support::RecordedWindow& window = monitor.window;
    viewer::RefreshCycle& cycle = monitor.cycle;

    void SetUp() override { ASSERT_EQ(window.listing.text(), kSevenRecords); }

    // The monitor went on, and never stopped for a modal box.
    void expectRunningWithoutAModalBox() {
        EXPECT_TRUE(window.modalBoxes.empty());
        EXPECT_EQ(window.ended, -1);
    }
};

TEST_F(FaultsUnderTheMonitor, AGoneHandleIsOneBoxAndTheNextTickReadsThroughANewOne) {
    faults.dropOpenFiles();
    monitor.tick();
    // The failed pass marks nothing; the box carries the bare number.
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    monitor.tick();
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    for (int tick = 0; tick < 3; ++tick) monitor.tick();
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::handleGoneNumber()));
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.caption, "7");
    // The outage is over, and its box has gone with it.
    EXPECT_FALSE(window.outageBoxOpen);
    EXPECT_EQ(faults.openFiles(), 1);
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, OneBoxWhileTheServerIsDownAndItsOpensFailWithAnotherError) {
    faults.dropOpenFiles();
    faults.failOpens(3);
    for (int tick = 0; tick < 8; ++tick) monitor.tick();
    EXPECT_EQ(faults.opensStillFailing(), 0);
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::handleGoneNumber()));
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    expectRunningWithoutAModalBox();

    // Once a pass has read to the end, the next failure is a new outage with a box of its own.
    faults.dropOpenFiles();
    monitor.tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
}

TEST_F(FaultsUnderTheMonitor, AFailureThatGoesOnThroughTheNextPassIsTakenForAGoneHandle) {
    faults.failReadsOfOpenFiles();
    const int opens = faults.opensForReading();
    // One failed read of a handle that may be sound does not open the file again.
    monitor.tick();
    monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens);
    EXPECT_EQ(window.listing.text(), "");
    monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::ioFailureNumber()));

    faults.failReadsOfOpenFiles();
    monitor.tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, AnOpenFileThatCannotBeAskedForItsNameIsAnOutageNotTheEnd) {
    faults.failLinkQueriesOfOpenFiles();
    monitor.tick();
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::ioFailureNumber()));
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    // Going on, it is taken for a gone handle: the new one answers.
    monitor.tick();
    monitor.tick();
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.caption, "7");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, AFileThatLostItsNameIsLetGoAtTheNextTickWithoutABox) {
    faults.unlinkOpenFiles();
    const int opens = faults.opensForReading();
    monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(faults.openFiles(), 1);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_TRUE(window.outageBoxes.empty());
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, APathThatNamesAnotherFileIsFollowedEveryTenthTickAndAtAClick) {
    faults.movePathAway();
    const int opens = faults.opensForReading();
    // The load's tick was the first since the last look at the path.
    for (int tick = 2; tick < viewer::kTicksPerPathCheck; ++tick) monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens);
    monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(faults.openFiles(), 1);

    faults.movePathAway();
    monitor.click();
    EXPECT_EQ(faults.opensForReading(), opens + 2);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_TRUE(window.outageBoxes.empty());
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, AFileRenamedOverTheNameWhileItsOpenIsAnsweredIsOpenedAgain) {
    // The handle goes; a server that knows files only by their names answers the new open while
    // another file is renamed over the name: the handle reads the file from before, and says it
    // is the new one.
    faults.dropOpenFiles();
    faults.replacePathDuringTheNextOpen();
    monitor.tick();
    const int opens = faults.opensForReading();
    monitor.tick();
    ASSERT_EQ(faults.opensForReading(), opens + 1);
    // The next look at the path opens the file under the name, and then it is followed as any.
    for (int tick = 0; tick < viewer::kTicksPerPathCheck; ++tick) monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens + 2);
    for (int tick = 0; tick < 2 * viewer::kTicksPerPathCheck; ++tick) monitor.tick();
    EXPECT_EQ(faults.opensForReading(), opens + 2);
    EXPECT_EQ(faults.openFiles(), 1);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_FALSE(window.outageBoxOpen);
    expectRunningWithoutAModalBox();
}

// The passes run on the worker: a call to the file that does not return holds the worker, never
// the window, and after kCallTimeout is an outage like any other.
class HeldCallsUnderTheMonitor : public FaultsUnderTheMonitor {
  protected:
    using Held = FaultyCalls::Held;

    void TearDown() override {
        faults.letGo();
        monitor.settle();
    }

    // The worker's next result, shown as the window would show it.
    void showTheNextResult() {
        ASSERT_TRUE(window.takePost());
        cycle.resultsArrived();
    }

    // A tick's pass whose `call` is held: the listing stays until the time-out, which empties it
    // and shows one box; what the pass brings when the call returns is dropped, and the next
    // pass lists again and closes the box.
    void expectATimeOutWhenHeld(Held call) {
        faults.hold(call);
        cycle.timer1Tick();
        ASSERT_TRUE(faults.waitUntilHeld());
        faults.advanceClock(viewer::kCallTimeout - std::chrono::milliseconds(1));
        cycle.timer1Tick();
        EXPECT_EQ(window.listing.text(), kSevenRecords);
        EXPECT_EQ(window.caption, "7");
        EXPECT_TRUE(window.outageBoxes.empty());

        faults.advanceClock(std::chrono::milliseconds(1));
        cycle.timer1Tick();
        EXPECT_EQ(window.listing.text(), "");
        EXPECT_EQ(window.caption, "0");
        EXPECT_EQ(window.outageBoxes, box(FaultyCalls::timedOutNumber()));
        EXPECT_TRUE(window.outageBoxOpen);
        // While the call is still held, nothing more starts and no second box comes.
        faults.advanceClock(viewer::kCallTimeout);
        for (int tick = 0; tick < 3; ++tick) cycle.timer1Tick();
        EXPECT_TRUE(cycle.passUnderWay());
        EXPECT_EQ(window.outageBoxes.size(), 1u);

        faults.letGo();
        showTheNextResult();
        EXPECT_EQ(window.listing.text(), "") << "the late result was shown";
        EXPECT_EQ(window.caption, "0");
        ASSERT_TRUE(cycle.passUnderWay()) << "no pass after the call returned";
        showTheNextResult();
        EXPECT_EQ(window.listing.text(), kSevenRecords);
        EXPECT_EQ(window.caption, "7");
        EXPECT_FALSE(window.outageBoxOpen);
        EXPECT_EQ(window.outageBoxes.size(), 1u);
        expectRunningWithoutAModalBox();
    }
};

TEST_F(HeldCallsUnderTheMonitor, ATickDuringAPassOnlyKeepsTheWindowOnTopAndAClickStartsOneMore) {
    const int shown = cycle.passesShown();
    const int posts = window.postsMade();
    faults.hold(Held::reads);
    cycle.timer1Tick();
    ASSERT_TRUE(faults.waitUntilHeld());
    // Only a pass that looks at the path opens it again.
    faults.movePathAway();
    const int opens = faults.opensForReading();
    const int topmostKept = window.topmostKept;
    for (int tick = 0; tick < 2 * viewer::kTicksPerPathCheck; ++tick) cycle.timer1Tick();
    // Whatever the pass does, every tick keeps the window on top.
    EXPECT_EQ(window.topmostKept, topmostKept + 2 * viewer::kTicksPerPathCheck);
    cycle.cmdVerClick();
    cycle.cmdVerClick();

    faults.letGo();
    showTheNextResult();
    ASSERT_TRUE(cycle.passUnderWay()) << "the click started no pass";
    showTheNextResult();
    EXPECT_FALSE(cycle.passUnderWay()) << "a second click or a tick started a pass too";
    EXPECT_EQ(cycle.passesShown(), shown + 2);
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    // The worker runs its requests in turn: once a click's pass is shown, every pass before it
    // has posted its result. Only the tick's, the click's and this one have.
    monitor.click();
    EXPECT_EQ(window.postsMade(), posts + 3) << "a pass ran that nothing asked for";
    expectRunningWithoutAModalBox();
}

TEST_F(HeldCallsUnderTheMonitor, AReadThatDoesNotReturnTimesOut) {
    expectATimeOutWhenHeld(Held::reads);
}

TEST_F(HeldCallsUnderTheMonitor, AnIdentityCheckThatDoesNotReturnTimesOut) {
    expectATimeOutWhenHeld(Held::linkQueries);
}

TEST_F(HeldCallsUnderTheMonitor, AReopenThatDoesNotReturnTimesOut) {
    // The file lost its name: the pass opens the path again.
    faults.unlinkOpenFiles();
    expectATimeOutWhenHeld(Held::opens);
}

// The load's open on the worker, and the modal box of its failure, which holds the passes.
class LoadOnTheWorker : public ::testing::Test {
  protected:
    LoadOnTheWorker() { writeStationFile(folder.stationFile(), 7 * 81); }
    // A test that failed half-way may have left a call held: the worker ends its request before
    // the calls go.
    void TearDown() override {
        faults.letGo();
        EXPECT_TRUE(cycle.waitForTheWorker(std::chrono::seconds(30)));
    }

    void showTheNextResult() {
        ASSERT_TRUE(window.takePost());
        cycle.resultsArrived();
    }

    TempFolder folder;
    FaultyCalls faults;
    testing_support::RecordedWindow window;
    viewer::RefreshCycle cycle{window, faults.calls()};
};

TEST_F(LoadOnTheWorker, AnOpenThatFailsIsBoxedAndNoPassStartsUntilTheBoxIsAnswered) {
    cycle.setRutaFichero(folder.path() / "missing" / "Brevanto.SIT");
    std::vector<bool> passUnderWayWhileTheBoxWaits;
    window.whileAModalBoxWaits = [&] {
        if (!passUnderWayWhileTheBoxWaits.empty()) return;
        for (int tick = 0; tick < 2 * viewer::kTicksPerPathCheck; ++tick) {
            cycle.timer1Tick();
            passUnderWayWhileTheBoxWaits.push_back(cycle.passUnderWay());
        }
        cycle.cmdVerClick();
        passUnderWayWhileTheBoxWaits.push_back(cycle.passUnderWay());
    };
    cycle.load();
    showTheNextResult();
    ASSERT_EQ(window.modalBoxes.size(), 1u);
    // The platform's number and description of the missing folder.
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(window.modalBoxes.front().front())));
    EXPECT_NE(window.modalBoxes.front().find('-'), std::string::npos) << window.modalBoxes.front();
    EXPECT_EQ(passUnderWayWhileTheBoxWaits, std::vector<bool>(2 * viewer::kTicksPerPathCheck + 1));
    EXPECT_FALSE(cycle.passUnderWay()) << "a click while the box waited started a pass after it";
    EXPECT_EQ(window.caption, "");

    // The first pass fails at its start, with the file closed: nothing handles that. Its result
    // is taken up by the next tick, as when the tick comes before the posted call: the program
    // ends there, and that tick starts no pass of its own.
    cycle.timer1Tick();
    ASSERT_TRUE(window.takePost());
    cycle.timer1Tick();
    EXPECT_FALSE(cycle.passUnderWay()) << "a pass started after the end";
    ASSERT_EQ(window.modalBoxes.size(), 2u);
    EXPECT_EQ(window.modalBoxes.back().rfind("Run-time failure ", 0), 0u)
        << window.modalBoxes.back();
    EXPECT_EQ(window.ended, viewer::kUnhandledFailureExitStatus);
}

TEST_F(LoadOnTheWorker, AnOpenThatDoesNotReturnTimesOutAndThePathIsOpenedAgain) {
    cycle.setRutaFichero(folder.stationFile());
    faults.hold(FaultyCalls::Held::opens);
    cycle.load();
    ASSERT_TRUE(faults.waitUntilHeld());
    faults.advanceClock(viewer::kCallTimeout);
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::timedOutNumber()));
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");

    // It fails when it returns at last, too late for its box: the file is closed, and the next
    // pass opens it.
    faults.failOpens(1);
    faults.letGo();
    showTheNextResult();
    showTheNextResult();
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_FALSE(window.outageBoxOpen);
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
}

}  // namespace
