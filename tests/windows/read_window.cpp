// Prints, byte for byte, the listing that the running monitor's window holds, read from its EDIT
// as a screen reader on Windows would (WM_GETTEXT from another process). Exits 1 while there is no
// such window. With --boxes, prints instead one line for each box of the window's program: its
// title, a tab and its text; exits 1 while there is none.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "win32/Utf16.h"

namespace {

std::wstring textOf(HWND window) {
    std::wstring text(static_cast<std::size_t>(::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1,
                      L'\0');
    text.resize(static_cast<std::size_t>(
        ::SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

void write(const std::wstring& text) {
    const std::string bytes = win32::toUtf8(text);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

DWORD processOf(HWND window) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    return process;
}

int printBoxes(HWND monitor) {
    std::wstring lines;
    for (HWND box = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); box != nullptr;
         box = ::FindWindowExW(nullptr, box, L"#32770", nullptr)) {
        if (processOf(box) != processOf(monitor) || !::IsWindowVisible(box)) continue;
        const HWND text = ::FindWindowExW(box, nullptr, L"Static", nullptr);
        lines += textOf(box) + L"\t" + (text != nullptr ? textOf(text) : L"") + L"\n";
    }
    if (lines.empty()) return 1;
    write(lines);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const HWND window = ::FindWindowW(L"frmOstrevan", nullptr);
    if (argc > 1 && std::string(argv[1]) == "--boxes") {
        return window != nullptr ? printBoxes(window) : 1;
    }
    const HWND box =
        window != nullptr ? ::FindWindowExW(window, nullptr, L"EDIT", nullptr) : nullptr;
    if (box == nullptr) return 1;
    write(textOf(box));
    return 0;
}
