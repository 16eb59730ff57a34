// The monitor follows the station file at its path, the same on every platform: a file renamed
// away is let go once the path is asked about, and the file now under the name is listed; with
// nothing under the name, the refreshes are an outage until a file is there again, and the monitor
// never creates it. Deleting the file and renaming another over it, which each platform answers
// in its own way, are in the platforms' own tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "RecordedWindow.h"
#include "Support.h"
#include "station/PlatformFile.h"
#include "viewer/RefreshCycle.h"

namespace {

using testing_support::RecordedWindow;
using testing_support::TempFolder;
using testing_support::writeStationFile;

constexpr char kSeven[] = "2\t3\r\n4\t5\t6\r\n7\t8\t";
constexpr char kTwelve[] = "2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10\t11\t12\r\n13\t";

// The system's number for a file that is not there, as an open of one gives it.
std::string missingFileNumber(const std::filesystem::path& missing) {
    try {
        station::PlatformFile::openShared(missing, station::WhenMissing::fail);
    } catch (const std::system_error& failure) {
        return std::to_string(failure.code().value());
    }
    return "none: the file is there";
}

// The monitor over a station file of 7 records, which its first tick has listed.
class FollowedFile : public ::testing::Test {
  protected:
    void SetUp() override {
        writeStationFile(folder.stationFile(), 7 * 81);
        cycle.setRutaFichero(folder.stationFile());
        cycle.load();
        cycle.timer1Tick();
        ASSERT_EQ(window.caption, "7");
    }

    // Ticks until the condition holds, for as many ticks as lie between two looks at the path.
    template <typename Condition>
    bool withinAPathCheck(Condition condition) {
        for (int tick = 0; tick < viewer::kTicksPerPathCheck; ++tick) {
            cycle.timer1Tick();
            if (condition()) return true;
        }
        return false;
    }

    void renameAway() { std::filesystem::rename(folder.stationFile(), folder.path() / "old.SIT"); }

    TempFolder folder;
    RecordedWindow window;
    viewer::RefreshCycle cycle{window};
};

TEST_F(FollowedFile, RenamedAwayAndANewFileCreatedUnderTheName) {
    renameAway();
    writeStationFile(folder.stationFile(), 12 * 81);
    EXPECT_TRUE(withinAPathCheck([&] { return window.caption == "12"; })) << window.caption;
    EXPECT_EQ(window.listing.text(), kTwelve);
    EXPECT_TRUE(window.outageBoxes.empty());

    // A click asks about the path at once.
    renameAway();
    writeStationFile(folder.stationFile(), 7 * 81);
    cycle.cmdVerClick();
    EXPECT_EQ(window.caption, "7");
    EXPECT_EQ(window.listing.text(), kSeven);
    EXPECT_TRUE(window.outageBoxes.empty());
    EXPECT_TRUE(window.modalBoxes.empty());
}

TEST_F(FollowedFile, NothingUnderTheNameIsOneOutageUntilAFileIsThereAgain) {
    renameAway();
    ASSERT_TRUE(withinAPathCheck([&] { return !window.outageBoxes.empty(); }));
    // As after a pass that failed at its first record, with the number for a missing file.
    EXPECT_EQ(window.outageBoxes,
              std::vector<std::string>{missingFileNumber(folder.path() / "missing")});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");

    for (int tick = 0; tick < 2 * viewer::kTicksPerPathCheck; ++tick) cycle.timer1Tick();
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile())) << "the monitor created it";
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_EQ(window.caption, "0");

    // Tried again every tick: the next one lists the file once it is there.
    writeStationFile(folder.stationFile(), 12 * 81);
    cycle.timer1Tick();
    EXPECT_EQ(window.caption, "12");
    EXPECT_EQ(window.listing.text(), kTwelve);
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
    EXPECT_EQ(std::filesystem::file_size(folder.path() / "old.SIT"), 7u * 81);
}

}  // namespace
