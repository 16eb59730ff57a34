#pragma once

#include <windows.h>

namespace viewer {

// A window's DPI and the outer size of a window for a client area at a DPI. The per-window
// functions came with Windows 10 1607; on earlier Windows (7, 8.1) they are missing, so they are
// looked up at run time, and the system DPI and the system's frame metrics stand in for them.
class DpiScaling {
  public:
    // With whatever this Windows has.
    static DpiScaling ofThisSystem();
    // The system DPI alone, as on a Windows that lacks the per-window functions.
    static DpiScaling systemOnly() { return DpiScaling(); }

    UINT forWindow(HWND window) const;
    // The window rectangle around client, for a window of these styles, at dpi.
    RECT frameAround(RECT client, DWORD style, DWORD exStyle, UINT dpi) const;

  private:
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

    DpiScaling() = default;

    GetDpiForWindowFunction getDpiForWindow_ = nullptr;
    AdjustWindowRectExForDpiFunction adjustWindowRectExForDpi_ = nullptr;
};

}  // namespace viewer
