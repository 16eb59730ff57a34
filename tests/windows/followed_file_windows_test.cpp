// A station file deleted while the monitor has it open. Windows before 10 1903 keeps it pending
// deletion until the last handle on it is closed, and its name taken until then: the owning
// application can create the file again only once the monitor has let go of it. Wine keeps the
// name taken as those versions do, but does not tell a handle that its file is pending deletion
// (its FileStandardInfo says not); that answer is given here, under the monitor's own file code,
// as Windows gives it, while the deleted file is the one open.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordedWindow.h"
#include "Support.h"
#include "windows/ImportPatch.h"

namespace {

using testing_support::RecordedMonitor;
using testing_support::replaceImport;
using testing_support::TempFolder;
using testing_support::writeStationFile;

// While it lives, every FileStandardInfo asked for says the file is pending deletion once
// `deleted` is set.
struct PendingDeletion {
    PendingDeletion() {
        query = reinterpret_cast<decltype(&::GetFileInformationByHandleEx)>(
            replaceImport("kernel32.dll", "GetFileInformationByHandleEx",
                          reinterpret_cast<void*>(&GetFileInformationByHandleEx)));
    }
    ~PendingDeletion() {
        deleted = false;
        if (query != nullptr) {
            replaceImport("kernel32.dll", "GetFileInformationByHandleEx",
                          reinterpret_cast<void*>(query));
        }
    }
    PendingDeletion(const PendingDeletion&) = delete;
    PendingDeletion& operator=(const PendingDeletion&) = delete;

    static BOOL WINAPI GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                                    LPVOID information, DWORD size) {
        if (!query(handle, kind, information, size)) return FALSE;
        if (kind == FileStandardInfo && deleted) {
            static_cast<FILE_STANDARD_INFO*>(information)->DeletePending = TRUE;
        }
        return TRUE;
    }

    static inline decltype(&::GetFileInformationByHandleEx) query = nullptr;
    static inline bool deleted = false;
};

// Creates the file where its name is free, with `records` records.
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

TEST(DeletedOnWindows, LetGoAtTheNextTickSoThatTheOwnerCanCreateTheFileAgain) {
    PendingDeletion pending;
    ASSERT_NE(PendingDeletion::query, nullptr)
        << "GetFileInformationByHandleEx is not imported from kernel32.dll";
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    RecordedMonitor monitor(folder.stationFile());
    auto& window = monitor.window;
    ASSERT_EQ(window.caption, "7");

    ASSERT_TRUE(::DeleteFileW(folder.stationFile().c_str()));
    PendingDeletion::deleted = true;
    monitor.cycle.timer1Tick();
    // Let go, the file is gone with the last handle on it: nothing is under the name.
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_FILE_NOT_FOUND)});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    PendingDeletion::deleted = false;
    monitor.cycle.timer1Tick();
    EXPECT_EQ(::GetFileAttributesW(folder.stationFile().c_str()), INVALID_FILE_ATTRIBUTES)
        << "the monitor created it";

    EXPECT_TRUE(createNew(folder.stationFile(), 12)) << "the name is still taken";
    monitor.cycle.timer1Tick();
    EXPECT_EQ(window.caption, "12");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_TRUE(window.modalBoxes.empty());
}

}  // namespace
