// Prints, byte for byte, the listing that the running monitor's window holds, read from its EDIT
// as a screen reader on Windows would (WM_GETTEXT from another process). Exits 1 while there is no
// such window.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "station/windows/WindowsError.h"

int main() {
    const HWND window = ::FindWindowW(L"frmOstrevan", nullptr);
    const HWND box =
        window != nullptr ? ::FindWindowExW(window, nullptr, L"EDIT", nullptr) : nullptr;
    if (box == nullptr) return 1;
    std::wstring text(static_cast<std::size_t>(::SendMessageW(box, WM_GETTEXTLENGTH, 0, 0)) + 1,
                      L'\0');
    text.resize(static_cast<std::size_t>(
        ::SendMessageW(box, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    const std::string listing = station::toUtf8(text);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    return 0;
}
