// The monitor's start on Windows: the window is the whole program, and closing it ends the
// program.
#include <windows.h>

#include <system_error>

#include "viewer/win32/frmOstrevan.h"
#include "win32/Utf16.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    try {
        viewer::frmOstrevan window(instance);
        window.show(showCommand);
        return window.run();
    } catch (const std::system_error& failure) {
        // The window itself could not be made: nothing else can say so.
        ::MessageBoxW(nullptr, win32::toWide(failure.what()).c_str(),
                      win32::toWide(viewer::kApplicationTitle).c_str(), MB_OK);
        return viewer::kUnhandledFailureExitStatus;
    }
}
