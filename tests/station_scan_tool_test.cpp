// The command-line scanner, run as a separate program beside a separate owner.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
    const std::filesystem::path missing = folder.path() / "missing folder" / "Brevanto.SIT";
    const ProgramRun run = runScan("--json " + quoted(missing.parent_path()) + " 2>&1");
    EXPECT_EQ(run.status, 1);
    // The file, and the open's failure as the monitor words it, "number-description", printed
    // with a blank.
    std::string reported = OpenedStation(missing).openMessage();
    ASSERT_NE(reported.find('-'), std::string::npos);
    reported[reported.find('-')] = ' ';
    EXPECT_NE(
        run.output.find("station-scan: cannot open " + missing.string() + ": " + reported + "\n"),
        std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("{\"listing\": \"\", \"connected\": 0, \"lastFree\": 0}"),
              std::string::npos)
        << run.output;
}

// On Windows a path that begins with "/" starts at the root of the current drive; under Wine, every
// Unix path is such a one. It is a folder, never an option.
TEST(StationScanTool, TakesAFolderThatBeginsWithASlash) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 2 * 81);
    const std::filesystem::path before = std::filesystem::current_path();
    // The scan inherits the current folder, and with it the drive that the path starts on.
    std::filesystem::current_path(folder.path().root_path());
    const ProgramRun run =
        runScan("--json \"/" + folder.path().relative_path().generic_string() + "\"");
    std::filesystem::current_path(before);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "{\"listing\": \"2\\t3\\r\\n\", \"connected\": 0, \"lastFree\": 2}\n");
}

TEST(StationScanTool, VersionOfTheProject) {
    for (const std::string option : {"--version", "-V"}) {
        const ProgramRun run = runScan(option);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, std::string("station-scan ") + OSTREVAN_VERSION + "\n");
    }
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StationScanTool, ProbesNeverCreateAMissingStationFile) {
    TempFolder folder;
    const ProgramRun check = runScan("--check " + quoted(folder.path()));
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.output.rfind("STATIONS CRITICAL - cannot open ", 0), 0u) << check.output;
    EXPECT_EQ(check.output.find('|'), std::string::npos) << "no pass, no performance data";

    const ProgramRun metrics = runScan("--prometheus " + quoted(folder.path()) + " 2>&1");
    EXPECT_EQ(metrics.status, 1);
    // Standard error says which file it looked for.
    EXPECT_NE(
        metrics.output.find("station-scan: cannot open " + folder.stationFile().string() + ": "),
        std::string::npos)
        << metrics.output;
    EXPECT_NE(metrics.output.find("prostrevan_up{folder="), std::string::npos);
    EXPECT_NE(metrics.output.find("} 0\n"), std::string::npos) << metrics.output;
    EXPECT_EQ(metrics.output.find("prostrevan_connected"), std::string::npos) << metrics.output;
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile()));
}

TEST(StationScanTool, ArgumentsAPluginCannotTakeAreUnknownToItsEngine) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 2 * 81);
    for (const std::string arguments : {"--check -w x", "--check --json", "--check --nonsense",
                                        "-c 5:1 --check", "--check --expect 1-3"}) {
        const ProgramRun run = runScan(arguments + " " + quoted(folder.path()));
        EXPECT_EQ(run.status, 3) << arguments;
        EXPECT_EQ(run.output.rfind("STATIONS UNKNOWN - ", 0), 0u) << run.output;
        EXPECT_NE(run.output.find("\nusage: station-scan"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find('|'), std::string::npos) << "no performance data in the usage";
    }
    // An agent's check with no folder would look beside the agent's own program.
    const ProgramRun noFolder = runScan("--check -w 3");
    EXPECT_EQ(noFolder.status, 3);
    EXPECT_EQ(noFolder.output.rfind("STATIONS UNKNOWN - FOLDER: --check needs the station file's "
                                    "folder\n",
                                    0),
              0u)
        << noFolder.output;
    // Without --check, as before: the usage and status 2.
    for (const std::string arguments : {"--nonsense", "--smb-conf x", "--expect 3", "-w 3"}) {
        const ProgramRun run = runScan(arguments + " " + quoted(folder.path()) + " 2>&1");
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_NE(run.output.find("usage: station-scan"), std::string::npos) << run.output;
    }
}

TEST(StationScanTool, CheckOfAWholeFile) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    const ProgramRun run = runScan("--check -w 3 -c 5 " + quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "STATIONS OK - 0 connected, last free station 7 | connected=0;3;5;0; records=7;;;0; "
              "last_free=7;;;0;\n");
    const ProgramRun expecting = runScan("--check --expect 3 " + quoted(folder.path()));
    EXPECT_EQ(expecting.status, 2);
    EXPECT_EQ(expecting.output.rfind("STATIONS CRITICAL - expected but not connected: 3 - ", 0), 0u)
        << expecting.output;
}

TEST(StationScanTool, MetricsReplaceTheirFileWhole) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 3 * 81);
    const std::filesystem::path metrics = folder.path() / "prostrevan.prom";
    { std::ofstream(metrics, std::ios::binary) << std::string(100'000, 'x'); }
    const ProgramRun run = runScan("--prometheus --expect 2 --output " + quoted(metrics) + " " +
                                   quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    const std::string written = contents(metrics);
    EXPECT_EQ(written.rfind("# HELP prostrevan_up ", 0), 0u) << written;
    EXPECT_NE(written.find("prostrevan_record_expected{folder="), std::string::npos);
    EXPECT_EQ(written.find("xxx"), std::string::npos) << "nothing of the old file is left";
    EXPECT_NE(written.find("prostrevan_scan_timestamp_seconds{"), std::string::npos);
    // Nothing else is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              2);

    // A folder it cannot write to: a failure that names the file asked for (not the staging file
    // beside it), and the old file stays.
    const std::filesystem::path unwritable = folder.path() / "no such folder" / "x.prom";
    const ProgramRun failed = runScan("--prometheus --output " + quoted(unwritable) + " " +
                                      quoted(folder.path()) + " 2>&1");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.output.find("station-scan: cannot write " + unwritable.string() + ": "),
              std::string::npos)
        << failed.output;
    EXPECT_EQ(failed.output.find(".tmp"), std::string::npos) << failed.output;
    EXPECT_EQ(contents(metrics), written);
}

}  // namespace
