#pragma once

class QWidget;

namespace viewer {

// Puts the window back above every ordinary (non-topmost) window without moving or resizing it,
// and without taking the keyboard focus from the application the user is working in. Each
// platform has its own implementation file.
void keepTopmost(QWidget& window) noexcept;

}  // namespace viewer
