// A share whose session drops under the monitor: every read through the handle it had fails with
// ERROR_NETNAME_DELETED, as a handle that is not durable does after a reconnect, while a handle
// opened afterwards reads again. The drop is made under the platform seam, in the imports of this
// program, so the monitor's own file code meets it as it would on a real share.
#pragma once

#include <windows.h>

#include <set>

#include "windows/ImportPatch.h"

namespace testing_support {

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
    // Puts the share under this program's imports of CreateFileW and ReadFile.
    static void install() {
        opened.clear();
        dead.clear();
        failingOpens = 0;
        createFile = reinterpret_cast<decltype(&::CreateFileW)>(replaceImport(
            "kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&Share::CreateFileW)));
        readFile = reinterpret_cast<decltype(&::ReadFile)>(
            replaceImport("kernel32.dll", "ReadFile", reinterpret_cast<void*>(&Share::ReadFile)));
    }
    static void uninstall() {
        replaceImport("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(createFile));
        replaceImport("kernel32.dll", "ReadFile", reinterpret_cast<void*>(readFile));
    }
    static void drop() {
        dead.insert(opened.begin(), opened.end());
        opened.clear();
    }
};

}  // namespace testing_support
