#pragma once

#include <QAbstractNativeEventFilter>

#include <memory>

class QWidget;

namespace viewer {

// Keeps a window above every ordinary (non-topmost) window without moving or resizing it, and
// without ever taking the keyboard focus from the application the user works in.
//
// The window carries the stays-on-top hint, which puts it in the window manager's "above" layer,
// over every ordinary window. A window made "above" after it lands over it in that layer; when
// such a window covers part of it, keep() asks the window manager to restack it just over that
// window, but never while the pointer rests where it would come over it (focus-follows-mouse),
// never over another monitor or a fullscreen window, and never again in a way the window manager
// refused. It learns which windows lie over it from the window manager's stacking list and the
// X server's stacking, watched for changes, so a tick with nothing over it sends nothing.
class KeepTopmost final : private QAbstractNativeEventFilter {
  public:
    explicit KeepTopmost(QWidget& window);
    ~KeepTopmost() override;
    KeepTopmost(const KeepTopmost&) = delete;
    KeepTopmost& operator=(const KeepTopmost&) = delete;

    // One tick's step: the window comes back over the "above" windows that cover it.
    void keep() noexcept;

  private:
    class X11;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    QWidget& window_;
    // On X11, once the window has its native window; nothing elsewhere.
    std::unique_ptr<X11> x11_;
    bool attached_ = false;
};

}  // namespace viewer
