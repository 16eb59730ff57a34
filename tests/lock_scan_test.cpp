// One pass over station files whose records another process holds locked.
#include <gtest/gtest.h>

#include "Support.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::scanFolder;
using testing_support::TempFolder;
using testing_support::writeStationFile;

constexpr std::size_t kSevenRecords = 7 * 81;

class LockScanTest : public ::testing::Test {
  protected:
    void SetUp() override { writeStationFile(folder.stationFile(), kSevenRecords); }
    TempFolder folder;
};

TEST(LockScanEmptyFile, ListsOnlyRecordTwo) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 0);
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t");
    EXPECT_EQ(outcome.connected, 0);
    EXPECT_EQ(outcome.lastFree, 1);
    EXPECT_TRUE(outcome.messages.empty());
}

TEST(LockScanEmptyFile, RecordOneOnlyReadsNothingAtRecordTwo) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 81);
    OwnerProcess owner(folder.stationFile());
    owner.lock("1");  // record 1 is never tried
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t");
    EXPECT_EQ(outcome.lastFree, 1);
}

TEST_F(LockScanTest, NoLocks) {
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(outcome.connected, 0);
    EXPECT_EQ(outcome.lastFree, 7);
}

TEST_F(LockScanTest, LockedRecordsCarryTheMarker) {
    OwnerProcess owner(folder.stationFile());
    owner.lock("3");
    owner.lock("5");
    owner.lock("1");
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3- **\r\n4\t5- **\t6\r\n7\t8\t");
    EXPECT_EQ(outcome.connected, 2);
    EXPECT_EQ(outcome.lastFree, 7);
    EXPECT_TRUE(outcome.messages.empty());
}

TEST_F(LockScanTest, AllRecordsLockedStillEndsUnmarkedPastTheLast) {
    OwnerProcess owner(folder.stationFile());
    for (int record = 2; record <= 7; ++record) owner.lock(std::to_string(record));
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2- **\t3- **\r\n4- **\t5- **\t6- **\r\n7- **\t8\t");
    EXPECT_EQ(outcome.connected, 6);
    EXPECT_EQ(outcome.lastFree, 7);
}

TEST_F(LockScanTest, PartialLocksAndRecordBoundaries) {
    OwnerProcess owner(folder.stationFile());
    owner.lock("@242:1");  // the last byte of record 3
    owner.lock("6:40:1");  // one byte inside record 6
    owner.lock("@324:1");  // the first byte of record 5
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3- **\r\n4\t5- **\t6- **\r\n7\t8\t");
    EXPECT_EQ(outcome.connected, 3);
}

TEST_F(LockScanTest, LocksAppearAndVanishBetweenPasses) {
    OwnerProcess owner(folder.stationFile());
    owner.lock("4");
    EXPECT_EQ(scanFolder(folder.path()).listing, "2\t3\r\n4- **\t5\t6\r\n7\t8\t");
    owner.unlock("4");
    owner.lock("7");
    EXPECT_EQ(scanFolder(folder.path()).listing, "2\t3\r\n4\t5\t6\r\n7- **\t8\t");
    owner.kill();  // a crashed owner's locks are gone with it
    EXPECT_EQ(scanFolder(folder.path()).listing, "2\t3\r\n4\t5\t6\r\n7\t8\t");
}

TEST_F(LockScanTest, PartialLastRecordEndsThePass) {
    writeStationFile(folder.stationFile(), kSevenRecords + 40);
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(outcome.lastFree, 7);
}

TEST_F(LockScanTest, LockedPartialLastRecordIsTestedOverItsWholeLength) {
    writeStationFile(folder.stationFile(), kSevenRecords + 40);
    OwnerProcess owner(folder.stationFile());
    owner.lock("8:60:10");  // past the end of the file, but inside record 8
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3\r\n4\t5\t6\r\n7\t8- **\t9\r\n");
    EXPECT_EQ(outcome.connected, 1);
    EXPECT_EQ(outcome.lastFree, 8);
}

TEST_F(LockScanTest, LockToInfinityStillEndsAtTheEndOfTheFile) {
    OwnerProcess owner(folder.stationFile());
    owner.lock("5+");
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3\r\n4\t5- **\t6- **\r\n7- **\t8\t");
    EXPECT_EQ(outcome.connected, 3);
    EXPECT_EQ(outcome.lastFree, 7);
}

TEST_F(LockScanTest, WholeFileLockStillEndsAtTheEndOfTheFile) {
    writeStationFile(folder.stationFile(), kSevenRecords + 40);
    OwnerProcess owner(folder.stationFile());
    owner.lock("whole");
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2- **\t3- **\r\n4- **\t5- **\t6- **\r\n7- **\t8- **\t9\r\n");
    EXPECT_EQ(outcome.connected, 7);
    EXPECT_EQ(outcome.lastFree, 8);
}

TEST_F(LockScanTest, FileGrowsAndShrinksBetweenPasses) {
    OwnerProcess owner(folder.stationFile());
    owner.grow(10);
    owner.lock("10");
    EXPECT_EQ(scanFolder(folder.path()).listing, "2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10- **\t11\t");
    owner.truncate(3 * 81);
    const auto outcome = scanFolder(folder.path());
    EXPECT_EQ(outcome.listing, "2\t3\r\n4\t");
    EXPECT_EQ(outcome.lastFree, 3);
}

}  // namespace
