#include "viewer/win32/DpiScaling.h"

namespace viewer {
namespace {

// GetProcAddress gives a function of no particular type; void (*)() converts to any other
// without a warning.
template <typename Function>
Function lookUp(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

UINT systemDpi() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

DpiScaling DpiScaling::ofThisSystem() {
    DpiScaling scaling;
    // USER32 is loaded in every program with a window.
    if (const HMODULE user32 = ::GetModuleHandleW(L"user32.dll"); user32 != nullptr) {
        scaling.getDpiForWindow_ = lookUp<GetDpiForWindowFunction>(user32, "GetDpiForWindow");
        scaling.adjustWindowRectExForDpi_ =
            lookUp<AdjustWindowRectExForDpiFunction>(user32, "AdjustWindowRectExForDpi");
    }
    return scaling;
}

UINT DpiScaling::forWindow(HWND window) const {
    return getDpiForWindow_ != nullptr ? getDpiForWindow_(window) : systemDpi();
}

RECT DpiScaling::frameAround(RECT client, DWORD style, DWORD exStyle, UINT dpi) const {
    if (adjustWindowRectExForDpi_ != nullptr) {
        adjustWindowRectExForDpi_(&client, style, FALSE, exStyle, dpi);
    } else {
        // The frame at the system DPI: on Windows 8.1 a little off on a screen of another DPI.
        ::AdjustWindowRectEx(&client, style, FALSE, exStyle);
    }
    return client;
}

}  // namespace viewer
