#include "station/windows/SystemCalls.h"

namespace station {

std::chrono::steady_clock::time_point now(SystemCalls& calls) { return calls.now(); }

SystemCalls& systemCalls() {
    // Holds no state: every process may share the one table. Never destroyed, since a pass that a
    // closing program does not wait for may still be in a call when the program ends.
    static SystemCalls& calls = *new SystemCalls;
    return calls;
}

HANDLE SystemCalls::CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                                HANDLE model) {
    return ::CreateFileW(path, access, share, security, disposition, attributes, model);
}

BOOL SystemCalls::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL SystemCalls::ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                           LPOVERLAPPED at) {
    return ::ReadFile(handle, buffer, length, read, at);
}

BOOL SystemCalls::GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    return ::GetFileSizeEx(handle, size);
}

DWORD SystemCalls::GetFileType(HANDLE handle) { return ::GetFileType(handle); }

DWORD SystemCalls::GetFileAttributesW(LPCWSTR path) { return ::GetFileAttributesW(path); }

BOOL SystemCalls::GetFileInformationByHandle(HANDLE handle,
                                             LPBY_HANDLE_FILE_INFORMATION information) {
    return ::GetFileInformationByHandle(handle, information);
}

BOOL SystemCalls::GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                               LPVOID information, DWORD size) {
    return ::GetFileInformationByHandleEx(handle, kind, information, size);
}

std::chrono::steady_clock::time_point SystemCalls::now() {
    return std::chrono::steady_clock::now();
}

}  // namespace station
