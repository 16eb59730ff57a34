#include "viewer/win32/OutageBox.h"

#include <vector>

#include "win32/ErrorCategory.h"

namespace viewer {
namespace {

constexpr int kTextId = 100;

// A dialog template in memory, in the layout that CreateDialogIndirectParamW reads: the dialog,
// then each control, every one aligned to four bytes. Positions are in dialog units.
class DialogTemplate {
  public:
    DialogTemplate(DWORD style, short width, short height, std::wstring_view title, WORD fontPoints,
                   std::wstring_view fontFace) {
        put(DLGTEMPLATE{style, 0, 0, 0, 0, width, height});
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

OutageBox::~OutageBox() {
    if (box_ != nullptr) ::DestroyWindow(box_);
}

void OutageBox::show(HWND owner, const std::wstring& title, const std::wstring& text) {
    if (box_ == nullptr) {
        // No WS_VISIBLE and no DS_SETFOREGROUND: shown below without being activated. A box of
        // a program in the background does not put itself in the foreground.
        DialogTemplate dialog(
            WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER, 160, 58,
            title, 8, L"MS Shell Dlg");
        dialog.addControl(SS_LEFT | SS_NOPREFIX, 10, 10, 140, 18, kTextId, 0x0082, L"");
        dialog.addControl(BS_DEFPUSHBUTTON | WS_TABSTOP, 55, 36, 50, 14, IDOK, 0x0080, L"OK");
        box_ = ::CreateDialogIndirectParamW(
            reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(owner, GWLP_HINSTANCE)), dialog.get(),
            owner, &OutageBox::dialogProcedure, reinterpret_cast<LPARAM>(this));
        if (box_ == nullptr) win32::throwLastError();
    }
    ::SetDlgItemTextW(box_, kTextId, text.c_str());
    ::ShowWindow(box_, SW_SHOWNOACTIVATE);
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
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) ::DestroyWindow(box);
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
