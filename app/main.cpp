// The monitor's start: the window is the whole program, and closing it ends the program.
#include <QApplication>

#include "viewer/qt/frmOstrevan.h"

int main(int argc, char** argv) {
    // A Wayland session gives a client no way to stay above other windows; XWayland does.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QLatin1String(viewer::kApplicationTitle));
    QApplication::setDesktopFileName(QStringLiteral("prOstrevan"));

    viewer::frmOstrevan window;
    window.show();
    return QApplication::exec();
}
