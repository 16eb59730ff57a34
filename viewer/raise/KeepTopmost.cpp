// X11 and the rest: the window carries the stays-on-top hint, which puts it in the window
// manager's "above" layer, and is raised within that layer, so that a window made "above" after
// it does not stay over it. A raise asks for no activation: the keyboard focus stays where the
// user put it.
#include "viewer/KeepTopmost.h"

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

}  // namespace

void keepTopmost(QWidget& window) noexcept {
    if (!platformStacksWindows()) return;
    window.raise();
    // The request would otherwise wait in the connection's buffer until something else, a
    // repaint say, sends it; when the listing has not changed, nothing else does.
    QGuiApplication::sync();
}

}  // namespace viewer
