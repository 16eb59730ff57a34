// X11 and the rest: the window carries the stays-on-top hint, which puts it in the window
// manager's "above" layer, and is raised within that layer, so that a window made "above" after
// it does not stay over it. A raise asks for no activation: the keyboard focus stays where the
// user put it.
#include "viewer/qt/KeepTopmost.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QString>
#include <QWidget>

namespace viewer {
namespace {

// Platforms whose windows have no stacking order at all; asking them to raise only warns.
bool platformStacksWindows() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// Sends what waits in the X connection's buffer. Qt sends it only when something else needs the
// server, a repaint say; when the listing has not changed, nothing else does.
void sendPendingRequests() {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 != nullptr) xcb_flush(x11->connection());
}

}  // namespace

void keepTopmost(QWidget& window) noexcept {
    if (!platformStacksWindows()) return;
    window.raise();
    sendPendingRequests();
}

}  // namespace viewer
