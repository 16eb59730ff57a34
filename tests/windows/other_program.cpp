// Another program's windows, for the tests of how the monitor treats them:
//   other-program window   a window of its own, brought to the foreground; for each line read
//                          on standard input it answers "foreground" or "background", as its
//                          window has the foreground or not; it ends when its input ends.
//   other-program till     the same window, without answering, until the program is ended.
//   other-program box      a message box titled "other-program", until the program is ended.
//   other-program topmost L T W H
//                          a topmost window of that place and size, shown without being
//                          activated, until the program is ended.
//   other-program menu X Y a popup menu opened at that point, until the program is ended.
//   other-program ask      sends the monitor's window WM_NULL as Windows asks whether a window
//                          hangs (SendMessageTimeoutW, SMTO_ABORTIFHUNG, 1000 ms); prints
//                          "answered" and exits 0 if it answered, else "no answer: " and the
//                          error, exiting 1; exits 2 while there is no such window.
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

HWND createWindow(const wchar_t* className, DWORD exStyle, DWORD style, int left, int top,
                  int width, int height, int colour) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &worksheetProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(colour + 1));
    windowClass.lpszClassName = className;
    ::RegisterClassW(&windowClass);
    return ::CreateWindowExW(exStyle, className, className, style, left, top, width, height,
                             nullptr, nullptr, windowClass.hInstance, nullptr);
}

int runMessageLoop() {
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}

int showWorksheet(bool answering) {
    const HWND worksheet = createWindow(L"worksheet", 0, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                        300, 200, COLOR_WINDOW);
    if (worksheet == nullptr) return 1;
    ::SetForegroundWindow(worksheet);
    if (!answering) return runMessageLoop();

    // Asked from a thread of its own, so that the window keeps answering its messages.
    std::thread answers([worksheet] {
        for (std::string line; std::getline(std::cin, line);) {
            std::cout << (::GetForegroundWindow() == worksheet ? "foreground" : "background")
                      << std::endl;
        }
        ::PostMessageW(worksheet, WM_CLOSE, 0, 0);
    });
    runMessageLoop();
    answers.join();
    return 0;
}

int showTopmost(int left, int top, int width, int height) {
    const HWND window = createWindow(L"topmost", WS_EX_TOPMOST, WS_POPUP, left, top, width, height,
                                     COLOR_HIGHLIGHT);
    if (window == nullptr) return 1;
    ::ShowWindow(window, SW_SHOWNOACTIVATE);
    return runMessageLoop();
}

int openMenu(int x, int y) {
    // A menu belongs to a window, which gets its commands; this one stays hidden.
    const HWND owner = createWindow(L"menu owner", 0, WS_OVERLAPPED, 0, 0, 0, 0, COLOR_WINDOW);
    const HMENU menu = ::CreatePopupMenu();
    ::AppendMenuW(menu, MF_STRING, 1, L"Cut");
    ::AppendMenuW(menu, MF_STRING, 2, L"Copy");
    ::AppendMenuW(menu, MF_STRING, 3, L"Paste");
    // Its own message loop runs until the menu is dismissed; a dismissed menu opens again.
    for (;;) {
        ::TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN, x, y, 0, owner, nullptr);
        ::Sleep(50);
    }
}

int askTheMonitor() {
    const HWND monitor = ::FindWindowW(L"frmOstrevan", nullptr);
    if (monitor == nullptr) return 2;
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutW(monitor, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0) {
        std::puts("answered");
        return 0;
    }
    std::printf("no answer: %lu\n", ::GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (mode == "window") return showWorksheet(true);
    if (mode == "till") return showWorksheet(false);
    if (mode == "topmost" && argc == 6) {
        return showTopmost(std::stoi(argv[2]), std::stoi(argv[3]), std::stoi(argv[4]),
                           std::stoi(argv[5]));
    }
    if (mode == "menu" && argc == 4) return openMenu(std::stoi(argv[2]), std::stoi(argv[3]));
    if (mode == "ask") return askTheMonitor();
    if (mode == "box") {
        ::MessageBoxW(nullptr, L"not the monitor's", L"other-program", MB_OK);
        return 0;
    }
    std::fputs("usage: other-program window|till|box|topmost L T W H|menu X Y|ask\n", stderr);
    return 2;
}
