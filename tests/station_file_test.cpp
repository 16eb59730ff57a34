// Opening the station file, file numbers, and passes over one file that stays open: what is the
// same on every platform.
#include <gtest/gtest.h>

#include <filesystem>

#include "Support.h"
#include "station/LockScan.h"
#include "station/StationFile.h"

namespace {

using testing_support::CollectedMessages;
using testing_support::OpenedStation;
using testing_support::OwnerProcess;
using testing_support::TempFolder;
using testing_support::writeStationFile;

TEST(StationFileOpen, MissingFileIsCreatedEmpty) {
    TempFolder folder;
    OpenedStation opened(folder.stationFile());
    EXPECT_EQ(opened.openMessage(), "");
    ASSERT_TRUE(std::filesystem::is_regular_file(folder.stationFile()));
    EXPECT_EQ(std::filesystem::file_size(folder.stationFile()), 0u);
    std::int32_t lastFree = 0;
    EXPECT_EQ(opened.scan(lastFree), 0);
    EXPECT_EQ(opened.listing.text(), "2\t");
}

TEST(StationFileOpen, PresetPathIsUsedUnchanged) {
    TempFolder folder;
    const auto path = folder.path() / "other name.dat";
    OpenedStation opened(path);
    EXPECT_EQ(opened.stationFile.rutaFichero(), path);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile()));
}

TEST(StationFileNumbers, HandedOutLowestFirstAndNarrowedWithACheck) {
    TempFolder folder;
    station::FileTable files;
    CollectedMessages messages;
    EXPECT_EQ(files.nextFreeNumber(), 1);
    station::StationFile first(files, messages);
    first.setRutaFichero(folder.stationFile());
    first.AbrirFicheroPuestos();
    EXPECT_EQ(first.numFichero(), 1);
    EXPECT_EQ(files.nextFreeNumber(), 2);

    first.setNumFichero(40000);  // does not fit the 16-bit file number
    station::PlainText listing;
    std::int32_t lastFree = 0;
    try {
        station::LockScan(first, listing, messages).MLP_PuestosConectadosGrabados(lastFree);
        FAIL() << "an oversized file number must fail";
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code(), std::errc::value_too_large);
    }
    first.setNumFichero(2);  // fits, but names no open file
    EXPECT_THROW(first.endOfFile(), std::system_error);
    // A read there is a failure of the pass, never a record that another process holds.
    station::StationRecord record{};
    EXPECT_THROW((void)first.read(2, record), std::system_error);
}

TEST(StationFileReopen, OpensThePathAgainWithoutCreatingIt) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 2 * 81);
    OpenedStation opened(folder.stationFile());
    std::filesystem::remove(folder.stationFile());
    EXPECT_THROW(opened.stationFile.reopen(), std::system_error);
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile()));
    station::StationRecord record{};
    EXPECT_THROW((void)opened.stationFile.read(2, record), std::system_error);

    // Tried again once there is a file under the name: the new file is the one read.
    writeStationFile(folder.stationFile(), 5 * 81);
    opened.stationFile.reopen();
    std::int32_t lastFree = 0;
    EXPECT_EQ(opened.scan(lastFree), 0);
    EXPECT_EQ(lastFree, 5);
    EXPECT_EQ(opened.stationFile.numFichero(), 1);
}

TEST(StationFilePasses, TwoPassesInARowOverOneOpenFileAgree) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    OwnerProcess owner(folder.stationFile());
    owner.lock("6");
    OpenedStation opened(folder.stationFile());
    std::int32_t lastFree = 0;
    ASSERT_EQ(opened.scan(lastFree), 1);
    const std::string first = opened.listing.text();
    EXPECT_TRUE(opened.stationFile.endOfFile());
    lastFree = 0;
    EXPECT_EQ(opened.scan(lastFree), 1);
    EXPECT_EQ(opened.listing.text(), first);
    EXPECT_EQ(lastFree, 7);
}

}  // namespace
