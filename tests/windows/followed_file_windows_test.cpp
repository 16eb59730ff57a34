// A station file deleted while the monitor has it open. Windows before 10 1903 keeps it pending
// deletion until the last handle on it is closed, and its name taken until then: the owning
// application can create the file again only once the monitor has let go of it. Wine keeps the
// name taken as those versions do, but does not tell a handle that its file is pending deletion
// (its FileStandardInfo says not); that answer is given here, under the monitor's own file code,
// for the deleted file alone, as Windows gives it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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

using Identity = std::pair<DWORD, std::uint64_t>;

std::optional<Identity> identityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) return std::nullopt;
    return Identity{information.dwVolumeSerialNumber,
                    (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

struct PendingDeletion {
    static inline decltype(&::GetFileInformationByHandleEx) query = nullptr;
    static inline std::optional<Identity> deleted;

    static BOOL WINAPI GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                                    LPVOID information, DWORD size) {
        if (!query(handle, kind, information, size)) return FALSE;
        if (kind == FileStandardInfo && deleted && identityOf(handle) == deleted) {
            static_cast<FILE_STANDARD_INFO*>(information)->DeletePending = TRUE;
        }
        return TRUE;
    }
};

// Creates the file, failing where its name is still taken, and writes `records` records to it.
bool createNew(const std::filesystem::path& path, int records) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string content(static_cast<std::size_t>(records) * 81, 'x');
    DWORD written = 0;
    const BOOL wrote =
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
    return wrote && written == content.size();
}

class DeletedOnWindows : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        PendingDeletion::query = reinterpret_cast<decltype(&::GetFileInformationByHandleEx)>(
            replaceImport("kernel32.dll", "GetFileInformationByHandleEx",
                          reinterpret_cast<void*>(&PendingDeletion::GetFileInformationByHandleEx)));
    }
    static void TearDownTestSuite() {
        replaceImport("kernel32.dll", "GetFileInformationByHandleEx",
                      reinterpret_cast<void*>(PendingDeletion::query));
    }

    // The monitor over a station file of 7 records, which its first tick has listed.
    void SetUp() override {
        ASSERT_NE(PendingDeletion::query, nullptr)
            << "GetFileInformationByHandleEx is not imported from kernel32.dll";
        writeStationFile(folder.stationFile(), 7 * 81);
        cycle.setRutaFichero(folder.stationFile());
        cycle.load();
        cycle.timer1Tick();
        ASSERT_EQ(window.caption, "7");
    }
    void TearDown() override { PendingDeletion::deleted.reset(); }

    void deleteTheFile() {
        const HANDLE file = ::CreateFileW(folder.stationFile().c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        PendingDeletion::deleted = identityOf(file);
        ::CloseHandle(file);
        ASSERT_TRUE(::DeleteFileW(folder.stationFile().c_str()));
    }

    TempFolder folder;
    RecordedWindow window;
    viewer::RefreshCycle cycle{window};
};

TEST_F(DeletedOnWindows, LetGoAtTheNextTickSoThatTheOwnerCanCreateTheFileAgain) {
    deleteTheFile();
    cycle.timer1Tick();
    // The name is free again, and nothing is under it: an outage, as a pass that failed at once.
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_FILE_NOT_FOUND)});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    cycle.timer1Tick();
    EXPECT_EQ(::GetFileAttributesW(folder.stationFile().c_str()), INVALID_FILE_ATTRIBUTES)
        << "the monitor created it";

    PendingDeletion::deleted.reset();  // gone from the disk with the monitor's handle
    ASSERT_TRUE(createNew(folder.stationFile(), 12)) << "the name is still taken";
    cycle.timer1Tick();
    EXPECT_EQ(window.listing.text(), "2\t3\r\n4\t5\t6\r\n7\t8\t9\r\n10\t11\t12\r\n13\t");
    EXPECT_EQ(window.caption, "12");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_TRUE(window.modalBoxes.empty());
    EXPECT_EQ(window.ended, -1);
}

}  // namespace
