// The owning application's stand-in, run as a separate program as the suites, the demo and the
// scripts run it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Support.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;

testing_support::ProgramRun runOwner(const std::string& arguments) {
    return testing_support::runProgram(testing_support::stationOwnerProgram(), arguments);
}

// Arguments it cannot take are refused before the file is opened, so a mistyped command creates
// no file.
TEST(StationOwnerTool, RefusesArgumentsItCannotTakeBeforeCreatingTheFile) {
    TempFolder folder;
    const std::string file = testing_support::shellQuoted(folder.stationFile());
    for (const std::string& arguments : std::vector<std::string>{
             "", "connect " + file, "create " + file, "create " + file + " seven",
             "create " + file + " 7 8", "hold " + file, "hold " + file + " 3:80:2",
             "serve " + file + " 3", "simulate " + file + " --stations 1",
             "simulate " + file + " --period -1", "simulate " + file + " --colour"}) {
        const testing_support::ProgramRun run = runOwner(arguments + " 2>&1");
        EXPECT_NE(run.status, 0) << arguments;
        EXPECT_NE(run.output.find("--help"), std::string::npos) << arguments << ": " << run.output;
        EXPECT_FALSE(std::filesystem::exists(folder.stationFile())) << arguments;
    }
}

TEST(StationOwnerTool, CreatesAndExtendsTheFileByWholeRecords) {
    TempFolder folder;
    const std::string file = testing_support::shellQuoted(folder.stationFile());
    for (const auto& [records, size] : {std::pair{3, 3 * 81}, {5, 5 * 81}, {2, 5 * 81}}) {
        EXPECT_EQ(runOwner("create " + file + " " + std::to_string(records)).status, 0);
        EXPECT_EQ(std::filesystem::file_size(folder.stationFile()), size) << records;
    }
}

// On Windows a path that begins with "/" starts at the root of the current drive. It is a file,
// never an option. The file's name is joined as the platform joins it: Wine takes a path of
// forward slashes alone for a Unix path.
TEST(StationOwnerTool, TakesAFileThatBeginsWithASlash) {
    TempFolder folder;
    const std::filesystem::path fromTheRoot =
        std::filesystem::path("/" + folder.path().relative_path().generic_string()) /
        folder.stationFile().filename();
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder.path().root_path());
    const testing_support::ProgramRun run =
        runOwner("create \"" + fromTheRoot.string() + "\" 2 2>&1");
    std::filesystem::current_path(before);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(std::filesystem::file_size(folder.stationFile()), 2 * 81);
}

// The simulation keeps the stations it is given, and a seed repeats it.
TEST(StationOwnerTool, SimulatesTheStationsItIsGivenAsItsSeedDecides) {
    TempFolder folder;
    const auto firstMoves = [&] {
        OwnerProcess owner({"simulate", folder.stationFile().string(), "--stations", "3",
                            "--period", "0", "--seed", "7", "--verbose"});
        std::vector<std::string> moves;
        for (int i = 0; i < 12; ++i) moves.push_back(owner.readLine());
        owner.kill();
        return moves;
    };
    const std::vector<std::string> moves = firstMoves();
    for (const std::string& move : moves) {
        EXPECT_TRUE(move == "connect 2" || move == "connect 3" || move == "disconnect 2" ||
                    move == "disconnect 3")
            << move;
    }
    EXPECT_EQ(std::filesystem::file_size(folder.stationFile()), 3 * 81);
    EXPECT_EQ(firstMoves(), moves);
}

}  // namespace
