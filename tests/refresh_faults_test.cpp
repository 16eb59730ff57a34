// The refresh cycle's rules for a station file that fails, on every platform alike: one box per
// outage, the file opened again by its path where its handle is gone or its failure goes on, and
// a file that lost its name or is no longer the one at the path let go. The faults come through
// the station code's own table of system calls, over a real file.
#include <gtest/gtest.h>

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
    cycle.timer1Tick();
    // The failed pass marks nothing; the box carries the bare number.
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    cycle.timer1Tick();
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    for (int tick = 0; tick < 3; ++tick) cycle.timer1Tick();
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
    for (int tick = 0; tick < 8; ++tick) cycle.timer1Tick();
    EXPECT_EQ(faults.opensStillFailing(), 0);
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::handleGoneNumber()));
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    expectRunningWithoutAModalBox();

    // Once a pass has read to the end, the next failure is a new outage with a box of its own.
    faults.dropOpenFiles();
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
}

TEST_F(FaultsUnderTheMonitor, AFailureThatGoesOnThroughTheNextPassIsTakenForAGoneHandle) {
    faults.failReadsOfOpenFiles();
    const int opens = faults.opensForReading();
    // One failed read of a handle that may be sound does not open the file again.
    cycle.timer1Tick();
    cycle.timer1Tick();
    EXPECT_EQ(faults.opensForReading(), opens);
    EXPECT_EQ(window.listing.text(), "");
    cycle.timer1Tick();
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::ioFailureNumber()));

    faults.failReadsOfOpenFiles();
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, AnOpenFileThatCannotBeAskedForItsNameIsAnOutageNotTheEnd) {
    faults.failLinkQueriesOfOpenFiles();
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes, box(FaultyCalls::ioFailureNumber()));
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    // Going on, it is taken for a gone handle: the new one answers.
    cycle.timer1Tick();
    cycle.timer1Tick();
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_EQ(window.caption, "7");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    expectRunningWithoutAModalBox();
}

TEST_F(FaultsUnderTheMonitor, AFileThatLostItsNameIsLetGoAtTheNextTickWithoutABox) {
    faults.unlinkOpenFiles();
    const int opens = faults.opensForReading();
    cycle.timer1Tick();
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
    for (int tick = 2; tick < viewer::kTicksPerPathCheck; ++tick) cycle.timer1Tick();
    EXPECT_EQ(faults.opensForReading(), opens);
    cycle.timer1Tick();
    EXPECT_EQ(faults.opensForReading(), opens + 1);
    EXPECT_EQ(faults.openFiles(), 1);

    faults.movePathAway();
    cycle.cmdVerClick();
    EXPECT_EQ(faults.opensForReading(), opens + 2);
    EXPECT_EQ(window.listing.text(), kSevenRecords);
    EXPECT_TRUE(window.outageBoxes.empty());
    expectRunningWithoutAModalBox();
}

}  // namespace
