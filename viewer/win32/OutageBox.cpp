#include "viewer/win32/OutageBox.h"

#include <algorithm>
#include <vector>

#include "win32/ErrorCategory.h"

namespace viewer {
namespace {

constexpr int kTextId = 100;

// A dialog template in memory, in the layout that CreateDialogIndirectParamW reads: the dialog,
// then each control, every one aligned to four bytes. Positions are in dialog units.
class DialogTemplate {
  public:
    DialogTemplate(DWORD style, DWORD exStyle, short width, short height, std::wstring_view title,
                   WORD fontPoints, std::wstring_view fontFace) {
        put(DLGTEMPLATE{style, exStyle, 0, 0, 0, width, height});
        putWord(0);  // no menu
        putWord(0);  // the dialog class
        putText(title);
        putWord(fontPoints);
        putText(fontFace);
    }

    void addControl(DWORD style, short left, short top, short width, short height, WORD id,
                    WORD predefinedClass, std::wstring_view text) {
        while (bytes_.size() % 4 != 0) bytes_.push_back(std::byte{0});
        put(DLGITEMTEMPLATE{style | WS_CHILD | WS_VISIBLE, 0, left, top, width, height, id});
        putWord(0xFFFF);
        putWord(predefinedClass);
        putText(text);
        putWord(0);  // no creation data
        ++reinterpret_cast<DLGTEMPLATE*>(bytes_.data())->cdit;
    }

    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(bytes_.data()); }

  private:
    template <typename Part>
    void put(const Part& part) {
        const auto* first = reinterpret_cast<const std::byte*>(&part);
        bytes_.insert(bytes_.end(), first, first + sizeof part);
    }
    void putWord(WORD word) { put(word); }
    void putText(std::wstring_view text) {
        for (const wchar_t c : text) putWord(static_cast<WORD>(c));
        putWord(0);
    }

    std::vector<std::byte> bytes_;
};

}  // namespace

OutageBox::~OutageBox() { close(); }

void OutageBox::show(HWND beside, const std::wstring& title, const std::wstring& text) {
    if (box_ == nullptr) {
        // No WS_VISIBLE and no DS_SETFOREGROUND: shown below without being activated. A box of
        // a program in the background does not put itself in the foreground. WS_EX_NOACTIVATE:
        // nor does a click on it (on its OK), so the keyboard stays with the application the user
        // works in while the box is there and after it. Owned by no window, whose activation an
        // active box would hand on when it goes (Windows activates the owner, the window manager
        // under Wine focuses it), it is topmost itself, or a kiosk's topmost window would hide it.
        DialogTemplate dialog(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
                              WS_EX_TOPMOST | WS_EX_NOACTIVATE, 160, 58, title, 8, L"MS Shell Dlg");
        dialog.addControl(SS_LEFT | SS_NOPREFIX, 10, 10, 140, 18, kTextId, 0x0082, L"");
        dialog.addControl(BS_DEFPUSHBUTTON | WS_TABSTOP, 55, 36, 50, 14, IDOK, 0x0080, L"OK");
        box_ = ::CreateDialogIndirectParamW(
            reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(beside, GWLP_HINSTANCE)), dialog.get(),
            nullptr, &OutageBox::dialogProcedure, reinterpret_cast<LPARAM>(this));
        if (box_ == nullptr) win32::throwLastError();
        centreOver(beside);
        foregroundBefore_ = nullptr;
        noteForeground();
    }
    ::SetDlgItemTextW(box_, kTextId, text.c_str());
    ::ShowWindow(box_, SW_SHOWNOACTIVATE);
}

void OutageBox::centreOver(HWND window) const {
    // As DS_CENTER places a box over its owner: centred on it, inside its screen's work area.
    RECT over{};
    RECT box{};
    MONITORINFO screen{};
    screen.cbSize = sizeof screen;
    if (!::GetWindowRect(window, &over) || !::GetWindowRect(box_, &box) ||
        !::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &screen)) {
        return;
    }
    const long width = box.right - box.left;
    const long height = box.bottom - box.top;
    const RECT& work = screen.rcWork;
    const long left = std::clamp((over.left + over.right - width) / 2, work.left,
                                 std::max(work.left, work.right - width));
    const long top = std::clamp((over.top + over.bottom - height) / 2, work.top,
                                std::max(work.top, work.bottom - height));
    ::SetWindowPos(box_, nullptr, static_cast<int>(left), static_cast<int>(top), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void OutageBox::close() noexcept {
    if (box_ == nullptr) return;
    // Were the box active when it goes, the window next to it (the monitor) would be activated.
    // In the foreground, it may hand the foreground back instead; gone after that, no longer
    // active, it activates nothing.
    if (::GetForegroundWindow() == box_ && foregroundBefore_ != nullptr &&
        ::IsWindowVisible(foregroundBefore_)) {
        ::SetForegroundWindow(foregroundBefore_);
    }
    ::DestroyWindow(box_);
}

void OutageBox::noteForeground() noexcept {
    const HWND foreground = ::GetForegroundWindow();
    DWORD process = 0;
    ::GetWindowThreadProcessId(foreground, &process);
    if (foreground != nullptr && process != ::GetCurrentProcessId()) foregroundBefore_ = foreground;
}

bool OutageBox::tookMessage(MSG& message) const {
    return box_ != nullptr && ::IsDialogMessageW(box_, &message);
}

INT_PTR CALLBACK OutageBox::dialogProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            ::SetWindowLongPtrW(box, DWLP_USER, lParam);
            // FALSE: no control gets the focus now, which would activate the box.
            return FALSE;
        case WM_MOUSEACTIVATE:
            // A click may activate the box all the same (Wine's default procedure does, despite
            // WS_EX_NOACTIVATE): the window it would take the foreground from is the one to give
            // it back to.
            if (auto* self = reinterpret_cast<OutageBox*>(::GetWindowLongPtrW(box, DWLP_USER))) {
                self->noteForeground();
            }
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                if (auto* self =
                        reinterpret_cast<OutageBox*>(::GetWindowLongPtrW(box, DWLP_USER))) {
                    self->close();
                }
            }
            return TRUE;
        case WM_NCDESTROY:
            if (auto* self = reinterpret_cast<OutageBox*>(::GetWindowLongPtrW(box, DWLP_USER))) {
                self->box_ = nullptr;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace viewer
