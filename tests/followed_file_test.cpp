// The monitor follows the station file at its path, the same on every platform: a file renamed
// away is let go once the path is looked at, and the file now under the name is listed; with
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

namespace {

using testing_support::RecordedMonitor;
using testing_support::TempFolder;
using testing_support::writeStationFile;

// The system's number for a file that is not there, as an open of one gives it.
std::string missingFileNumber(const std::filesystem::path& missing) {
    try {
        station::PlatformFile::openShared(missing, station::WhenMissing::fail);
    } catch (const std::system_error& failure) {
        return std::to_string(failure.code().value());
    }
    return "none: the file is there";
}

TEST(FollowedFile, RenamedAwayTheFileUnderTheNameIsListedAndWithNoneItIsAnOutage) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    RecordedMonitor monitor(folder.stationFile());
    auto& window = monitor.window;
    ASSERT_EQ(window.caption, "7");
    auto renameAway = [&] { std::filesystem::rename(folder.stationFile(), folder.path() / "old"); };
    // Ticks for as many ticks as lie between two looks at the path, or until the condition holds.
    auto withinAPathCheck = [&](auto condition) {
        for (int tick = 0; tick < viewer::kTicksPerPathCheck && !condition(); ++tick) {
            monitor.tick();
        }
        return condition();
    };

    renameAway();
    writeStationFile(folder.stationFile(), 12 * 81);
    EXPECT_TRUE(withinAPathCheck([&] { return window.caption == "12"; })) << window.caption;
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10\t11\t12\r\n13\t");

    // A click looks at the path at once.
    renameAway();
    writeStationFile(folder.stationFile(), 4 * 81);
    monitor.click();
    EXPECT_EQ(window.caption, "4");
    EXPECT_TRUE(window.outageBoxes.empty());

    // Nothing under the name: as a pass that failed at its first record, with the number for a
    // missing file, tried again every tick, and the file not created.
    renameAway();
    ASSERT_TRUE(withinAPathCheck([&] { return !window.outageBoxes.empty(); }));
    EXPECT_EQ(window.outageBoxes,
              std::vector<std::string>{missingFileNumber(folder.path() / "missing")});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    for (int tick = 0; tick < 2 * viewer::kTicksPerPathCheck; ++tick) monitor.tick();
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile())) << "the monitor created it";

    writeStationFile(folder.stationFile(), 5 * 81);
    monitor.tick();
    EXPECT_EQ(window.caption, "5");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
}

}  // namespace
