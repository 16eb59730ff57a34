// The command-line scanner, run as a separate program beside a separate owner.
#include <gtest/gtest.h>

#include <string>

#include "Support.h"

namespace {

using testing_support::OpenedStation;
using testing_support::OwnerProcess;
using testing_support::ProgramRun;
using testing_support::TempFolder;
using testing_support::writeStationFile;

ProgramRun runScan(const std::string& arguments) {
    return testing_support::runProgram(testing_support::stationScanProgram(), arguments);
}

std::string quoted(const std::filesystem::path& path) { return testing_support::shellQuoted(path); }

TEST(StationScanTool, JsonOfAPassWithLocksHeldElsewhere) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81 + 40);
    OwnerProcess owner(folder.stationFile());
    owner.lock("3");
    owner.lock("5:10:5");
    owner.lock("7+");
    const ProgramRun run = runScan("--json " + quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "{\"listing\": \"2\\t3- **\\r\\n4\\t5- **\\t6\\r\\n7- **\\t8- **\\t9\\r\\n\", "
              "\"connected\": 4, \"lastFree\": 8}\n");
}

TEST(StationScanTool, SeesTheLocksAnOwnerHolds) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OwnerProcess owner({"hold", folder.stationFile().string(), "2", "4:80:1", "@0:1"});
    ASSERT_EQ(owner.readLine(), "ready");
    EXPECT_EQ(
        runScan("--json " + quoted(folder.path())).output,
        "{\"listing\": \"2- **\\t3\\r\\n4- **\\t5\\t\", \"connected\": 2, \"lastFree\": 4}\n");
}

TEST(StationScanTool, PlainOutputEndsWithCaptionAndCount) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 2 * 81);
    const ProgramRun run = runScan(quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "2\t3\r\ncaption: 2\nconnected: 0\n");
}

TEST(StationScanTool, FailedOpenEndsWithStatusOne) {
    TempFolder folder;
    const ProgramRun run = runScan("--json " + quoted(folder.path() / "missing folder") + " 2>&1");
    EXPECT_EQ(run.status, 1);
    // The open's failure as the monitor words it, "number-description", printed with a blank.
    std::string reported =
        OpenedStation(folder.path() / "missing folder" / "Brevanto.SIT").openMessage();
    ASSERT_NE(reported.find('-'), std::string::npos);
    reported[reported.find('-')] = ' ';
    EXPECT_NE(run.output.find("station-scan: " + reported + "\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("{\"listing\": \"\", \"connected\": 0, \"lastFree\": 0}"),
              std::string::npos)
        << run.output;
}

}  // namespace
