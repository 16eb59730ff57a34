// A share whose session drops under the monitor (see windows/Share.h): one box for the outage, and
// the listing back through a new handle.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordedWindow.h"
#include "Support.h"
#include "viewer/RefreshCycle.h"
#include "windows/Share.h"

namespace {

using testing_support::RecordedWindow;
using testing_support::Share;
using testing_support::TempFolder;
using testing_support::writeStationFile;

class DroppedShare : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Share::install(); }
    static void TearDownTestSuite() { Share::uninstall(); }

    // The monitor over a station file of 7 records, which its first tick has listed.
    void SetUp() override {
        ASSERT_NE(Share::readFile, nullptr) << "ReadFile is not imported from kernel32.dll";
        writeStationFile(folder.stationFile(), 7 * 81);
        cycle.setRutaFichero(folder.stationFile());
        cycle.load();
        cycle.timer1Tick();
        ASSERT_EQ(window.caption, "7");
    }

    TempFolder folder;
    RecordedWindow window;
    viewer::RefreshCycle cycle{window};
};

TEST_F(DroppedShare, OneBoxAndTheListingBackThroughANewHandle) {
    Share::drop();
    for (int tick = 0; tick < 5; ++tick) {
        cycle.timer1Tick();
        if (tick == 0) {
            // The failed pass marks nothing; the box carries the bare number.
            EXPECT_EQ(window.listing.text(), "");
            EXPECT_EQ(window.caption, "0");
        }
    }
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_NETNAME_DELETED)});
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(window.caption, "7");
    // The outage is over, and its box has gone with it.
    EXPECT_FALSE(window.outageBoxOpen);
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
}

TEST_F(DroppedShare, OneBoxWhileTheServerIsDownAndItsOpensFailWithAnotherError) {
    Share::drop();
    Share::failingOpens = 3;
    for (int tick = 0; tick < 8; ++tick) cycle.timer1Tick();
    EXPECT_EQ(Share::failingOpens, 0);
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_NETNAME_DELETED)});
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(window.ended, -1);

    // Once a pass has read to the end, the next failure is a new outage with a box of its own.
    Share::drop();
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
}

}  // namespace
