// A share whose session drops under the monitor: every read through the handle it had fails with
// ERROR_NETNAME_DELETED, as a handle that is not durable does after a reconnect, while a handle
// opened afterwards reads again. The drop is made under the platform seam, in the imports of this
// program, so the monitor's own file code meets it as it would on a real share.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "RecordedWindow.h"
#include "Support.h"
#include "viewer/RefreshCycle.h"
#include "windows/ImportPatch.h"

namespace {

using testing_support::RecordedWindow;
using testing_support::replaceImport;
using testing_support::TempFolder;
using testing_support::writeStationFile;

// The share: handles opened before a drop are dead after it.
struct Share {
    static inline decltype(&::CreateFileW) createFile = nullptr;
    static inline decltype(&::ReadFile) readFile = nullptr;
    static inline std::set<HANDLE> opened;
    static inline std::set<HANDLE> dead;
    // While above 0, the server is down: each open fails, and counts one down.
    static inline int failingOpens = 0;

    static HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                     DWORD attributes, HANDLE model) {
        if (failingOpens > 0) {
            --failingOpens;
            ::SetLastError(ERROR_BAD_NETPATH);
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE handle =
            createFile(path, access, share, security, disposition, attributes, model);
        if (handle != INVALID_HANDLE_VALUE) {
            // A new handle may reuse the number of a closed dead one.
            dead.erase(handle);
            opened.insert(handle);
        }
        return handle;
    }
    static BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                                LPOVERLAPPED at) {
        if (dead.contains(handle)) {
            ::SetLastError(ERROR_NETNAME_DELETED);
            return FALSE;
        }
        return readFile(handle, buffer, length, read, at);
    }
    static void drop() {
        dead.insert(opened.begin(), opened.end());
        opened.clear();
    }
};

class DroppedShare : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        Share::createFile = reinterpret_cast<decltype(&::CreateFileW)>(replaceImport(
            "kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&Share::CreateFileW)));
        Share::readFile = reinterpret_cast<decltype(&::ReadFile)>(
            replaceImport("kernel32.dll", "ReadFile", reinterpret_cast<void*>(&Share::ReadFile)));
    }
    static void TearDownTestSuite() {
        replaceImport("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(Share::createFile));
        replaceImport("kernel32.dll", "ReadFile", reinterpret_cast<void*>(Share::readFile));
    }

    // The monitor over a station file of 7 records, which its first tick has listed.
    void SetUp() override {
        ASSERT_NE(Share::readFile, nullptr) << "ReadFile is not imported from kernel32.dll";
        writeStationFile(folder.stationFile(), 7 * 81);
        cycle.setRutaFichero(folder.stationFile());
        cycle.load();
        cycle.timer1Tick();
        ASSERT_EQ(window.caption, "7");
    }

    TempFolder folder;
    RecordedWindow window;
    viewer::RefreshCycle cycle{window};
};

TEST_F(DroppedShare, OneBoxAndTheListingBackThroughANewHandle) {
    Share::drop();
    for (int tick = 0; tick < 5; ++tick) {
        cycle.timer1Tick();
        if (tick == 0) {
            // The failed pass marks nothing; the box carries the bare number.
            EXPECT_EQ(window.listing.text(), "");
            EXPECT_EQ(window.caption, "0");
        }
    }
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_NETNAME_DELETED)});
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(window.caption, "7");
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
}

TEST_F(DroppedShare, OneBoxWhileTheServerIsDownAndItsOpensFailWithAnotherError) {
    Share::drop();
    Share::failingOpens = 3;
    for (int tick = 0; tick < 8; ++tick) cycle.timer1Tick();
    EXPECT_EQ(Share::failingOpens, 0);
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_NETNAME_DELETED)});
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t");
    EXPECT_EQ(window.ended, -1);

    // Once a pass has read to the end, the next failure is a new outage with a box of its own.
    Share::drop();
    cycle.timer1Tick();
    EXPECT_EQ(window.outageBoxes.size(), 2u);
}

}  // namespace
