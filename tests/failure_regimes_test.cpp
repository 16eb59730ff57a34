// How one pass meets failures: before the loop they go to the caller, a lock on a record marks it,
// and any other failure from the first read on ends the pass, which reports the bare number and
// returns 0 with its listing so far. The reads' failures come through the station code's table of
// system calls, on every platform alike; those of the end-of-file test, which asks the system
// nothing, from a station file that fails on demand.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "FaultyCalls.h"
#include "Support.h"
#include "station/LockScan.h"

namespace {

using testing_support::CollectedMessages;
using testing_support::FaultyCalls;
using testing_support::TempFolder;

std::system_error platformFailure(int number) { return {number, std::system_category()}; }

// A station file of whole records that fails on demand.
class FailingFile final : public station::ScannedFile {
  public:
    explicit FailingFile(std::int32_t wholeRecords) : wholeRecords_(wholeRecords) {}

    void repositionToFirstScanned() override {
        if (failReposition) throw platformFailure(EBADF);
        endOfFile_ = false;
        endOfFileTests_ = 0;
    }
    bool endOfFile() override {
        if (++endOfFileTests_ == failEndOfFileTest) throw platformFailure(EIO);
        return endOfFile_;
    }
    std::error_code read(std::int32_t record, station::StationRecord& buffer) override {
        buffer.word1 = 12345;  // what the owning application keeps there; the scan overwrites it
        if (lockedReads.contains(record)) return {EAGAIN, std::system_category()};
        if (record > wholeRecords_) endOfFile_ = true;
        return {};
    }

    bool failReposition = false;
    int failEndOfFileTest = 0;  // 1 is the test before the first record
    std::set<std::int32_t> lockedReads;

  private:
    std::int32_t wholeRecords_;
    bool endOfFile_ = false;
    int endOfFileTests_ = 0;
};

// The text box as the window creates it.
station::PlainText freshTextBox() {
    station::PlainText box;
    box.setText("txtPuestos");
    return box;
}

// Keeps what the box holds at the moment each message is shown.
class ListingAtMessage final : public station::MessageSink {
  public:
    explicit ListingAtMessage(const station::TextHolder& box) : box_(box) {}
    void showMessage(const std::string& text, const std::system_error&) override {
        messages.push_back(text);
        listingShown.push_back(box_.text());
    }
    std::vector<std::string> messages;
    std::vector<std::string> listingShown;

  private:
    const station::TextHolder& box_;
};

TEST(FailureRegimes, FailureBeforeTheLoopLeavesThePassAndTheTextUntouched) {
    FailingFile file(7);
    file.failReposition = true;
    station::PlainText box = freshTextBox();
    ListingAtMessage messages(box);
    std::int32_t lastFree = 0;
    station::LockScan scan(file, box, messages);
    EXPECT_THROW(scan.MLP_PuestosConectadosGrabados(lastFree), std::system_error);
    EXPECT_EQ(box.text(), "txtPuestos");
    EXPECT_TRUE(messages.messages.empty());

    file.failReposition = false;
    file.failEndOfFileTest = 1;
    EXPECT_THROW(scan.MLP_PuestosConectadosGrabados(lastFree), std::system_error);
    EXPECT_EQ(box.text(), "");  // emptied before that test
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(lastFree, 0);
}

TEST(FailureRegimes, OnlyALockMarksARecordAndAnyOtherReadFailureEndsThePass) {
    TempFolder folder;
    testing_support::writeStationFile(folder.stationFile(), 7 * 81);
    FaultyCalls faults;
    station::FileTable files(faults.calls());
    station::PlainText box = freshTextBox();
    ListingAtMessage messages(box);
    station::StationFile file(files, messages);
    file.setRutaFichero(folder.stationFile());
    file.AbrirFicheroPuestos();
    ASSERT_TRUE(messages.messages.empty());
    faults.lockRecords({2, 6});
    std::int32_t lastFree = 0;
    station::LockScan scan(file, box, messages);
    EXPECT_EQ(scan.MLP_PuestosConectadosGrabados(lastFree), 2);
    EXPECT_EQ(box.text(), "2- **\t3\r\n4\t5\t6- **\r\n7\t8\t");
    EXPECT_EQ(lastFree, 7);
    EXPECT_TRUE(messages.messages.empty());

    // The failing record is neither listed nor counted: it is no workstation.
    faults.failReadsOfRecords({5});
    lastFree = 0;
    EXPECT_EQ(scan.MLP_PuestosConectadosGrabados(lastFree), 0);
    ASSERT_EQ(messages.messages,
              std::vector<std::string>{std::to_string(FaultyCalls::ioFailureNumber())});
    EXPECT_EQ(messages.listingShown[0], "2- **\t3\r\n4\t");
    EXPECT_EQ(box.text(), "2- **\t3\r\n4\t");
    EXPECT_EQ(lastFree, 3);

    // Every read failing, as on a failing disk, ends the pass at its first record.
    faults.lockRecords({});
    faults.failReadsOfRecords({2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(scan.MLP_PuestosConectadosGrabados(lastFree), 0);
    EXPECT_EQ(messages.messages.size(), 2u);
    EXPECT_EQ(box.text(), "");
}

// The records a pass tried and found locked, as the tools and the holder look-up learn them: the
// record whose read failed was tried, and only a lock marks a record.
TEST(FailureRegimes, ThePassTellsTheRecordsItTriedAndFoundLocked) {
    TempFolder folder;
    testing_support::writeStationFile(folder.stationFile(), 7 * 81);
    FaultyCalls faults;
    station::FileTable files(faults.calls());
    CollectedMessages messages;
    station::StationFile file(files, messages);
    file.setRutaFichero(folder.stationFile());
    file.AbrirFicheroPuestos();
    station::PlainText box;
    station::LockScan scan(file, box, messages);
    faults.lockRecords({3, 6});
    std::int32_t lastFree = 0;
    station::ScannedRecords records;
    EXPECT_EQ(scan.MLP_PuestosConectadosGrabados(lastFree, &records), 2);
    EXPECT_EQ(records.tried, (std::vector<std::int32_t>{2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(records.locked, (std::vector<std::int32_t>{3, 6}));

    faults.failReadsOfRecords({5});
    EXPECT_EQ(scan.MLP_PuestosConectadosGrabados(lastFree, &records), 0);
    EXPECT_EQ(records.tried, (std::vector<std::int32_t>{2, 3, 4, 5}));
    EXPECT_EQ(records.locked, std::vector<std::int32_t>{3});
}

TEST(FailureRegimes, LaterFailureShowsBareNumberAfterThePartialListing) {
    FailingFile file(7);
    file.lockedReads = {3};
    file.failEndOfFileTest = 4;  // after the entries for records 2, 3 and 4
    station::PlainText box = freshTextBox();
    ListingAtMessage messages(box);
    std::int32_t lastFree = 0;
    EXPECT_EQ(station::LockScan(file, box, messages).MLP_PuestosConectadosGrabados(lastFree), 0);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0], std::to_string(EIO));
    EXPECT_EQ(messages.listingShown[0], "2\t3- **\r\n4\t");
    EXPECT_EQ(box.text(), "2\t3- **\r\n4\t");
    EXPECT_EQ(lastFree, 3);
}

TEST(FailureRegimes, NoFreeRecordKeepsTheCallersValue) {
    FailingFile file(7);
    file.lockedReads = {2, 3};
    file.failEndOfFileTest = 3;
    station::PlainText box = freshTextBox();
    CollectedMessages messages;
    std::int32_t lastFree = 0;
    station::LockScan(file, box, messages).MLP_PuestosConectadosGrabados(lastFree);
    EXPECT_EQ(box.text(), "2- **\t3- **\r\n");
    EXPECT_EQ(lastFree, 0);
}

}  // namespace
