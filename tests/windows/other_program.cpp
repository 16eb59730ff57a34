// Another program's windows, for the tests of how the monitor treats them:
//   other-program window   a window of its own, brought to the foreground; for each line read
//                          on standard input it answers "foreground" or "background", as its
//                          window has the foreground or not; it ends when its input ends.
//   other-program box      a message box titled "other-program", until the program is ended.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

LRESULT CALLBACK worksheetProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

int showWorksheet() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &worksheetProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"worksheet";
    ::RegisterClassW(&windowClass);
    const HWND worksheet =
        ::CreateWindowExW(0, L"worksheet", L"worksheet", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                          300, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (worksheet == nullptr) return 1;
    ::SetForegroundWindow(worksheet);

    // Asked from a thread of its own, so that the window keeps answering its messages.
    std::thread answering([worksheet] {
        for (std::string line; std::getline(std::cin, line);) {
            std::cout << (::GetForegroundWindow() == worksheet ? "foreground" : "background")
                      << std::endl;
        }
        ::PostMessageW(worksheet, WM_CLOSE, 0, 0);
    });
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    answering.join();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "window") return showWorksheet();
    if (mode == "box") {
        ::MessageBoxW(nullptr, L"not the monitor's", L"other-program", MB_OK);
        return 0;
    }
    std::fputs("usage: other-program window|box\n", stderr);
    return 2;
}
