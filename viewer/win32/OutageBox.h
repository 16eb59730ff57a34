#pragma once

#include <windows.h>

#include <string>

namespace viewer {

// The box that reports a failed pass: a dialog like a message box (the text, an OK button, the
// application's title, no icon) that is modeless, so the refreshes go on while it is shown, and
// that shows without being activated, so that it never takes the keyboard focus from the
// application the user is typing into.
class OutageBox {
  public:
    OutageBox() = default;
    OutageBox(const OutageBox&) = delete;
    OutageBox& operator=(const OutageBox&) = delete;
    ~OutageBox();

    // Shows text in the box, opening it over owner when it is not open.
    void show(HWND owner, const std::wstring& title, const std::wstring& text);

    // For a message loop, before a message is dispatched: Enter, Esc and Tab work in the box once
    // the user has activated it. Tells whether the box took the message.
    bool tookMessage(MSG& message) const;

  private:
    static INT_PTR CALLBACK dialogProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam);

    HWND box_ = nullptr;
};

}  // namespace viewer
