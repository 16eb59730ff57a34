// One pass over station files whose records another process holds locked.
#include <gtest/gtest.h>

#include "Support.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::scanFolder;
using testing_support::ScanOutcome;
using testing_support::TempFolder;

constexpr long long kSevenRecords = 7 * 81;

// A station file of seven whole records, kept by an owner in another process.
class LockScanTest : public ::testing::Test {
  protected:
    LockScanTest() { owner.grow(7); }
    ScanOutcome scan() const { return scanFolder(folder.path()); }

    TempFolder folder;
    OwnerProcess owner{folder.stationFile()};
};

TEST_F(LockScanTest, EmptyFileListsOnlyRecordTwo) {
    owner.truncate(0);
    EXPECT_EQ(scan(), (ScanOutcome{"2\t", 0, 1}));
    owner.truncate(81);
    owner.lock("1");  // record 1 is never tried
    EXPECT_EQ(scan(), (ScanOutcome{"2\t", 0, 1}));
}

TEST_F(LockScanTest, NoLocks) {
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8\t", 0, 7}));
}

TEST_F(LockScanTest, LockedRecordsCarryTheMarker) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.lock("3");
    owner.lock("5");
    owner.lock("1");
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3- **\r\n4\t5- **\t6\r\n7\t8\t", 2, 7}));
}

TEST_F(LockScanTest, AllRecordsLockedStillEndsUnmarkedPastTheLast) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    for (int record = 2; record <= 7; ++record) owner.lock(std::to_string(record));
    EXPECT_EQ(scan(), (ScanOutcome{"2- **\t3- **\r\n4- **\t5- **\t6- **\r\n7- **\t8\t", 6, 7}));
}

TEST_F(LockScanTest, PartialLocksAndRecordBoundaries) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.lock("@242:1");  // the last byte of record 3
    owner.lock("6:40:1");  // one byte inside record 6
    owner.lock("@324:1");  // the first byte of record 5
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3- **\r\n4\t5- **\t6- **\r\n7\t8\t", 3, 7}));
}

TEST_F(LockScanTest, LocksAppearAndVanishBetweenPasses) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.lock("4");
    EXPECT_EQ(scan().listing, "2\t3\r\n4- **\t5\t6\r\n7\t8\t");
    owner.unlock("4");
    owner.lock("7");
    EXPECT_EQ(scan().listing, "2\t3\r\n4\t5\t6\r\n7- **\t8\t");
    owner.kill();  // a crashed owner's locks are gone with it
    EXPECT_EQ(scan().listing, "2\t3\r\n4\t5\t6\r\n7\t8\t");
}

TEST_F(LockScanTest, PartialLastRecordEndsThePass) {
    owner.truncate(kSevenRecords + 40);
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8\t", 0, 7}));
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.lock("8:60:10");  // past the end of the file, but inside record 8
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8- **\t9\r\n", 1, 8}));
}

TEST_F(LockScanTest, LockToInfinityStillEndsAtTheEndOfTheFile) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.lock("5+");
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5- **\t6- **\r\n7- **\t8\t", 3, 7}));
}

TEST_F(LockScanTest, WholeFileLockStillEndsAtTheEndOfTheFile) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.truncate(kSevenRecords + 40);
    owner.lock("whole");
    EXPECT_EQ(scan(),
              (ScanOutcome{"2- **\t3- **\r\n4- **\t5- **\t6- **\r\n7- **\t8- **\t9\r\n", 7, 8}));
}

TEST_F(LockScanTest, FileGrowsAndShrinksBetweenPasses) {
    SKIP_UNLESS_LOCKS_STOP_READS();
    owner.grow(10);
    owner.lock("10");
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10- **\t11\t", 1, 10}));
    owner.truncate(3 * 81);
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t", 0, 3}));
}

}  // namespace
