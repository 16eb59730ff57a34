// Windows: the window manager itself keeps a topmost band; SetWindowPos puts the window back at
// the head of it. The foreground rules stop it from activating the window of a program in the
// background, so it never takes the focus from another application.
#include "viewer/KeepTopmost.h"

#include <windows.h>

#include <QWidget>

namespace viewer {

void keepTopmost(QWidget& window) noexcept {
    // The result is of no use: a window that could not be moved up is moved up on the next tick.
    ::SetWindowPos(reinterpret_cast<HWND>(window.winId()), HWND_TOPMOST, -1, -1, 0, 0,
                   SWP_NOSIZE | SWP_NOMOVE);
}

}  // namespace viewer
