// A station file deleted while the monitor has it open. Windows before 10 1903 keeps it pending
// deletion until the last handle on it is closed, and its name taken until then: the owning
// application can create the file again only once the monitor has let go of it. Wine keeps the
// name taken as those versions do, but does not tell a handle that its file is pending deletion
// (its FileStandardInfo says not); that answer is given here through the monitor's table of system
// calls, as Windows gives it, for the deleted file's handle.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FaultyCalls.h"
#include "RecordedWindow.h"
#include "Support.h"

namespace {

using testing_support::FaultyCalls;
using testing_support::RecordedMonitor;
using testing_support::TempFolder;
using testing_support::writeStationFile;

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
    TempFolder folder;
    writeStationFile(folder.stationFile(), 7 * 81);
    FaultyCalls faults;
    RecordedMonitor monitor(folder.stationFile(), faults.calls());
    auto& window = monitor.window;
    ASSERT_EQ(window.caption, "7");

    ASSERT_TRUE(::DeleteFileW(folder.stationFile().c_str()));
    faults.unlinkOpenFiles();
    monitor.tick();
    // Let go, the file is gone with the last handle on it: nothing is under the name.
    EXPECT_EQ(window.outageBoxes, std::vector<std::string>{std::to_string(ERROR_FILE_NOT_FOUND)});
    EXPECT_EQ(window.listing.text(), "");
    EXPECT_EQ(window.caption, "0");
    monitor.tick();
    EXPECT_EQ(::GetFileAttributesW(folder.stationFile().c_str()), INVALID_FILE_ATTRIBUTES)
        << "the monitor created it";

    EXPECT_TRUE(createNew(folder.stationFile(), 12)) << "the name is still taken";
    monitor.tick();
    EXPECT_EQ(window.caption, "12");
    EXPECT_EQ(window.outageBoxes.size(), 1u);
    EXPECT_TRUE(window.modalBoxes.empty());
}

}  // namespace
