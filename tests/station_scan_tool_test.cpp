// The command-line scanner, run as a separate program beside a separate owner.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Support.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;
using testing_support::writeStationFile;

struct ToolRun {
    std::string output;
    int status;
};

ToolRun runScan(const std::string& arguments) {
    const std::string command = std::string(STATION_SCAN) + " " + arguments;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {"", -1};
    ToolRun run;
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Built by appending: "'" + path.string() inserts at the front of a temporary, where GCC 12 at
// -O3 sees a false overlap in the copy (-Wrestrict).
std::string quoted(const std::filesystem::path& path) {
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

TEST(StationScanTool, JsonOfAPassWithLocksHeldElsewhere) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81 + 40);
    OwnerProcess owner(folder.stationFile());
    owner.lock("3");
    owner.lock("5:10:5");
    owner.lock("7+");
    const ToolRun run = runScan("--json " + quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "{\"listing\": \"2\\t3- **\\r\\n4\\t5- **\\t6\\r\\n7- **\\t8- **\\t9\\r\\n\", "
              "\"connected\": 4, \"lastFree\": 8}\n");
}

TEST(StationScanTool, SeesTheLocksAnOwnerHolds) {
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
    const ToolRun run = runScan(quoted(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "2\t3\r\ncaption: 2\nconnected: 0\n");
}

TEST(StationScanTool, FailedOpenEndsWithStatusOne) {
    TempFolder folder;
    const ToolRun run = runScan("--json " + quoted(folder.path() / "missing folder") + " 2>&1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("station-scan: 2 No such file or directory\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("{\"listing\": \"\", \"connected\": 0, \"lastFree\": 0}"),
              std::string::npos)
        << run.output;
}

}  // namespace
