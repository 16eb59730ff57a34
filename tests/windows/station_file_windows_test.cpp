// The station file on Windows: where it is looked for, what an open failure says, what is refused,
// and passes over a file that grows and shrinks while it stays open.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Support.h"
#include "win32/ErrorCategory.h"

namespace {

using testing_support::OpenedStation;
using testing_support::ScanOutcome;
using testing_support::TempFolder;
using testing_support::writeStationFile;

std::string openMessage(int number, const std::string& prefix = {}) {
    return std::to_string(number) + "-" + prefix + win32::errorCategory().message(number);
}

TEST(StationFileOnWindows, DefaultPathIsBesideTheExecutable) {
    wchar_t module[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
    const auto expected = std::filesystem::path(module).parent_path() / "Brevanto.SIT";
    const bool existed = std::filesystem::exists(expected);
    OpenedStation opened({});
    EXPECT_EQ(opened.stationFile.rutaFichero(), expected);
    EXPECT_EQ(opened.openMessage(), "");
    if (!existed) std::filesystem::remove(expected);
}

TEST(StationFileOnWindows, OpenFailureIsTheWindowsNumberAndTheSystemsDescription) {
    TempFolder folder;
    OpenedStation opened(folder.path() / "no such folder" / "Brevanto.SIT");
    EXPECT_EQ(opened.openMessage(), openMessage(ERROR_PATH_NOT_FOUND));
    const std::string description = win32::errorCategory().message(ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(description.empty());
    EXPECT_EQ(description.find_first_of("\r\n"), std::string::npos) << description;
}

TEST(StationFileOnWindows, ADirectoryInTheFilesPlaceIsRefused) {
    TempFolder folder;
    std::filesystem::create_directory(folder.stationFile());
    OpenedStation opened(folder.stationFile());
    EXPECT_EQ(opened.openMessage(), openMessage(ERROR_INVALID_PARAMETER,
                                                "Brevanto.SIT is a directory, not a disk file: "));
}

TEST(StationFileOnWindows, AFolderNamedWithBlanksAndNonAsciiCharactersIsNoProblem) {
    TempFolder folder;
    const auto named = folder.path() / std::filesystem::path(u8"Caja 3 – año ñandú ü");
    std::filesystem::create_directory(named);
    writeStationFile(named / "Brevanto.SIT", 7 * 81);
    EXPECT_EQ(testing_support::scanFolder(named), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8\t", 0, 7}));
    // Missing there, it is created empty.
    std::filesystem::remove(named / "Brevanto.SIT");
    EXPECT_EQ(testing_support::scanFolder(named), (ScanOutcome{"2\t", 0, 1}));
    EXPECT_EQ(std::filesystem::file_size(named / "Brevanto.SIT"), 0u);
}

TEST(StationFileOnWindows, PassesFollowAFileThatGrowsAndShrinksWhileOpen) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 4 * 81);
    OpenedStation opened(folder.stationFile());
    auto pass = [&] {
        std::int32_t lastFree = 0;
        const std::int32_t connected = opened.scan(lastFree);
        return ScanOutcome{opened.listing.text(), connected, lastFree};
    };
    EXPECT_EQ(pass(), (ScanOutcome{"2\t3\r\n4\t5\t", 0, 4}));
    EXPECT_EQ(pass(), (ScanOutcome{"2\t3\r\n4\t5\t", 0, 4}));
    std::filesystem::resize_file(folder.stationFile(), 7 * 81 + 40);
    EXPECT_EQ(pass(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8\t", 0, 7}));
    std::filesystem::resize_file(folder.stationFile(), 81);
    EXPECT_EQ(pass(), (ScanOutcome{"2\t", 0, 1}));
    std::filesystem::resize_file(folder.stationFile(), 0);
    EXPECT_EQ(pass(), (ScanOutcome{"2\t", 0, 1}));
}

}  // namespace
