// The station file on POSIX systems: where it is looked for, what an open failure says, what is
// refused, passes over a file that is grown and emptied while it stays open, and the monitor
// following the file at its path when it is deleted or replaced.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "RecordedWindow.h"
#include "Support.h"
#include "station/LockScan.h"
#include "station/StationFile.h"

namespace {

using testing_support::CollectedMessages;
using testing_support::OpenedStation;
using testing_support::OwnerProcess;
using testing_support::RecordedMonitor;
using testing_support::ScanOutcome;
using testing_support::TempFolder;
using testing_support::writeStationFile;

std::string expectedOpenMessage(int number) {
    return std::to_string(number) + "-" + std::strerror(number);
}

TEST(StationFileOpen, DefaultPathIsBesideTheExecutable) {
    station::FileTable files;
    CollectedMessages messages;
    station::StationFile stationFile(files, messages);
    const auto expected =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "Brevanto.SIT";
    const bool existed = std::filesystem::exists(expected);
    stationFile.AbrirFicheroPuestos();
    EXPECT_EQ(stationFile.rutaFichero(), expected);
    EXPECT_EQ(stationFile.numFichero(), 1);
    if (!existed) std::filesystem::remove(expected);
}

TEST(StationFileOpen, FailureIsReportedAsNumberHyphenDescription) {
    TempFolder folder;
    const auto path = folder.path() / "no such folder" / "Brevanto.SIT";
    OpenedStation opened(path);
    EXPECT_EQ(opened.openMessage(), expectedOpenMessage(ENOENT));
    // Nothing is undone: the path and the number handed out stay as they were.
    EXPECT_EQ(opened.stationFile.rutaFichero(), path);
    EXPECT_EQ(opened.stationFile.numFichero(), 1);
    // The file stays closed: the first pass fails before it touches the listing.
    opened.listing.setText("txtPuestos");
    std::int32_t lastFree = 0;
    try {
        opened.scan(lastFree);
        FAIL() << "a pass over a closed file must fail";
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code().value(), EBADF);
    }
    EXPECT_EQ(opened.listing.text(), "txtPuestos");
    EXPECT_EQ(opened.messages.messages.size(), 1u);
}

TEST(StationFileOpen, RefusesWhatIsNotARegularFile) {
    TempFolder folder;
    const auto fifo = folder.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto device = folder.path() / "zero";
    std::filesystem::create_symlink("/dev/zero", device);

    for (const auto& path : {fifo, device, folder.path()}) {
        SCOPED_TRACE(path);
        OpenedStation opened(path);  // a FIFO must not hang the open
        ASSERT_EQ(opened.messages.messages.size(), 1u);
        const std::string message = opened.openMessage();
        const int number = opened.messages.messages.front().number;
        EXPECT_TRUE(number == EINVAL || number == EISDIR) << message;
        EXPECT_TRUE(message.starts_with(std::to_string(number) + "-")) << message;
        EXPECT_FALSE(message.starts_with(std::to_string(number) + "- ")) << message;
    }
    EXPECT_NE(OpenedStation(fifo).openMessage().find("FIFO"), std::string::npos);
}

TEST(StationFileOpen, DanglingLinkIsNotFollowedToCreateItsTarget) {
    TempFolder folder;
    const auto target = folder.path() / "target";
    std::filesystem::create_symlink(target, folder.stationFile());
    OpenedStation opened(folder.stationFile());
    EXPECT_EQ(opened.openMessage(), expectedOpenMessage(ENOENT));
    EXPECT_FALSE(std::filesystem::exists(target));
}

// Each pass shows the open file as it stands now, whatever the owning application does to it.
TEST(StationFilePasses, FollowTheOpenFileAsItGrowsAndIsEmptied) {
    TempFolder folder;
    OwnerProcess owner(folder.stationFile());
    owner.grow(4);
    OpenedStation opened(folder.stationFile());
    auto scan = [&] {
        std::int32_t lastFree = 0;
        const std::int32_t connected = opened.scan(lastFree);
        return ScanOutcome{opened.listing.text(), connected, lastFree};
    };
    owner.lock("3");
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3- **\r\n4\t5\t", 1, 4}));

    owner.grow(7);  // grown by records
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3- **\r\n4\t5\t6\r\n7\t8\t", 1, 7}));

    owner.truncate(0);  // emptied: a lock on bytes that are gone hides nothing
    EXPECT_EQ(scan(), (ScanOutcome{"2\t", 0, 1}));
    owner.grow(5);
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3- **\r\n4\t5\t6\r\n", 1, 5}));

    owner.kill();  // its locks go with it
    EXPECT_EQ(scan(), (ScanOutcome{"2\t3\r\n4\t5\t6\r\n", 0, 5}));
    EXPECT_TRUE(opened.messages.messages.empty());
}

// Deleted and created again, replaced by a rename, deleted with nothing in its place: the next
// tick lists what is under the name, and never the file the monitor had open, whose owner goes on
// locking it.
TEST(FollowedFileOnPosix, TheNextTickListsWhatIsUnderTheName) {
    TempFolder folder;
    OwnerProcess firstOwner(folder.stationFile());
    firstOwner.grow(8);
    firstOwner.lock("3");
    RecordedMonitor monitor(folder.stationFile());
    auto& window = monitor.window;
    ASSERT_EQ(window.listing.text(), "2\t3- **\r\n4\t5\t6\r\n7\t8\t9\r\n");

    std::filesystem::remove(folder.stationFile());
    OwnerProcess secondOwner(folder.stationFile());
    secondOwner.grow(12);
    secondOwner.lock("5");
    secondOwner.lock("7");
    monitor.tick();
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5- **\t6\r\n7- **\t8\t9\r\n10\t11\t12\r\n13\t");
    EXPECT_EQ(window.caption, "12");

    writeStationFile(folder.path() / "restored", 6 * 81);
    std::filesystem::rename(folder.path() / "restored", folder.stationFile());
    monitor.tick();
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t");
    EXPECT_TRUE(window.outageBoxes.empty());

    std::filesystem::remove(folder.stationFile());
    monitor.tick();
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ENOENT)});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    monitor.tick();
    EXPECT_FALSE(std::filesystem::exists(folder.stationFile())) << "the monitor created it";
    writeStationFile(folder.stationFile(), 5 * 81);
    monitor.tick();
    EXPECT_EQ(window.caption, "5");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
}

TEST(StationFilePasses, LeavesNoLockAndChangesNoByte) {
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    struct stat before {};
    ASSERT_EQ(::stat(folder.stationFile().c_str(), &before), 0);
    OpenedStation opened(folder.stationFile());
    std::int32_t lastFree = 0;
    opened.scan(lastFree);

    std::ifstream locks("/proc/locks");
    // Appended, not "..." + std::to_string(...): GCC 12 at -O3 takes an insertion at the front of
    // a temporary for an overlapping copy (-Wrestrict).
    std::string inode = ":";
    inode += std::to_string(before.st_ino);
    inode += ' ';
    for (std::string line; std::getline(locks, line);) {
        EXPECT_EQ(line.find(inode), std::string::npos) << line;
    }
    struct stat after {};
    ASSERT_EQ(::stat(folder.stationFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

}  // namespace
