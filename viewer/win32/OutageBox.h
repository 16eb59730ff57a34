#pragma once

#include <windows.h>

#include <string>

namespace viewer {

// The box that reports a failed pass: a dialog like a message box (the text, an OK button, the
// application's title, no icon) that is modeless, so the refreshes go on while it is shown, and
// that is not activated, neither when it appears nor when the user clicks it, so that it never
// takes the keyboard focus from the application the user is typing into. Should it be active all
// the same when it goes, it hands the foreground back to the window that had it before.
class OutageBox {
  public:
    OutageBox() = default;
    OutageBox(const OutageBox&) = delete;
    OutageBox& operator=(const OutageBox&) = delete;
    ~OutageBox();

    // Shows text in the box, opening it over the window beside when it is not open.
    void show(HWND beside, const std::wstring& title, const std::wstring& text);

    // Closes the box if it is open.
    void close() noexcept;

    // For a message loop, before a message is dispatched: Enter, Esc and Tab work in the box
    // should it ever have the keyboard focus. Tells whether the box took the message.
    bool tookMessage(MSG& message) const;

  private:
    static INT_PTR CALLBACK dialogProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam);
    void centreOver(HWND window) const;
    // Notes the foreground window, unless it is one of this program's own.
    void noteForeground() noexcept;

    HWND box_ = nullptr;
    // The window of another program that had the foreground when the box appeared, or later
    // when a click was about to activate it.
    HWND foregroundBefore_ = nullptr;
};

}  // namespace viewer
