#pragma once

#include <windows.h>

#include <chrono>

#include "station/PlatformFile.h"

namespace station {

// Every call that the station code makes to Windows, one entry each, taking and returning what the
// system's function of the same name does (the reason left in GetLastError on failure). The
// operating system's table (systemCalls()) makes the calls themselves; a test derives from it and
// replaces the calls it means to fail, passing the rest on, so that faults a test machine cannot
// make (a share's session dropped, a deletion pending that Wine does not report) meet the station
// code where the system's own would.
class SystemCalls {
  public:
    virtual ~SystemCalls() = default;

    virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                               HANDLE model);
    virtual BOOL CloseHandle(HANDLE handle);
    // The read, which is also the lock query: a locked range fails with ERROR_LOCK_VIOLATION.
    virtual BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                          LPOVERLAPPED at);
    virtual BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size);
    virtual DWORD GetFileType(HANDLE handle);
    virtual DWORD GetFileAttributesW(LPCWSTR path);
    // The identity checks: which file a handle leads to, and whether it still has a name.
    virtual BOOL GetFileInformationByHandle(HANDLE handle,
                                            LPBY_HANDLE_FILE_INFORMATION information);
    virtual BOOL GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                              LPVOID information, DWORD size);
    // The clock for the time-outs of calls to the file, so that a test moves time on instead of
    // waiting it out.
    virtual std::chrono::steady_clock::time_point now();
};

}  // namespace station
