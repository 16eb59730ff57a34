#include "viewer/win32/frmOstrevan.h"

#include <commctrl.h>

#include <string_view>

#include "viewer/DifferingSpan.h"
#include "win32/ErrorCategory.h"
#include "win32/Utf16.h"

namespace viewer {
namespace {

constexpr wchar_t kClassName[] = L"frmOstrevan";
constexpr int kIconResource = 1;
constexpr UINT_PTR kTimer1 = 1;
constexpr int kCmdVerId = 1;
constexpr int kTxtPuestosId = 2;
// The worker's results are ready for the window's thread to show.
constexpr UINT kResultsMessage = WM_APP + 1;

// A fixed size, so no maximise button and no sizing border.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_TOPMOST;

// The layout, in twips.
struct Twips {
    int left, top, width, height;
};
constexpr Twips kClientArea{0, 0, 2055, 6390};
constexpr Twips kCmdVer{60, 30, 4245, 345};
constexpr Twips kTxtPuestos{30, 390, 2025, 5955};

int pixels(int twips, UINT dpi) { return ::MulDiv(twips, static_cast<int>(dpi), 1440); }

HFONT createListingFont(UINT dpi) {
    // Where the face is missing, Windows substitutes another serif one.
    return ::CreateFontW(-::MulDiv(6, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                         FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                         DEFAULT_QUALITY, DEFAULT_PITCH | FF_ROMAN, L"MS Serif");
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Whether a window of another program lies over `window` in the topmost band and covers part of
// it. Transient popups of other programs (an open menu, a drop-down list, a tool tip) do not
// count: they are topmost by nature and gone in a moment, and lifting the monitor over them would
// hide what the user is choosing from. Nor do the monitor's own windows, its box among them.
bool anotherTopmostWindowCovers(HWND window) {
    struct Search {
        HWND window;
        RECT area;
        bool covered = false;
    } search{window, {}};
    if (!::GetWindowRect(window, &search.area)) return false;
    // EnumWindows gives the top-level windows from the top of the z-order down; the search ends
    // at the monitor itself.
    ::EnumWindows(
        [](HWND other, LPARAM lParam) -> BOOL {
            auto& searching = *reinterpret_cast<Search*>(lParam);
            if (other == searching.window) return FALSE;
            DWORD process = 0;
            ::GetWindowThreadProcessId(other, &process);
            RECT otherArea{};
            RECT common{};
            if (process == ::GetCurrentProcessId() || !::IsWindowVisible(other) ||
                !(::GetWindowLongW(other, GWL_EXSTYLE) & WS_EX_TOPMOST) ||
                !::GetWindowRect(other, &otherArea) ||
                !::IntersectRect(&common, &otherArea, &searching.area)) {
                return TRUE;
            }
            wchar_t className[32] = {};
            const std::wstring_view name(
                className, static_cast<std::size_t>(::GetClassNameW(other, className, 32)));
            for (const std::wstring_view transient :
                 {L"#32768", L"ComboLBox", L"tooltips_class32"}) {
                if (name == transient) return TRUE;
            }
            searching.covered = true;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.covered;
}

}  // namespace

// The EDIT as the lock scan sees it: it holds line breaks as CR LF, exactly as the scan writes
// them.
class frmOstrevan::TextBox final : public station::TextHolder {
  public:
    explicit TextBox(HWND box) : box_(box) {}

    std::string text() const override { return win32::toUtf8(windowText(box_)); }

    void setText(const std::string& text) override {
        const std::wstring shown = win32::toWide(text);
        const std::wstring current = windowText(box_);
        // An unchanged listing is left alone, and of a changed one only the span that differs is
        // rewritten; the selection and the scroll position are put back where the text they
        // stood on went. Typed text always differs and is replaced.
        if (shown == current) return;
        const DifferingSpan span =
            differingSpan(std::wstring_view(current), std::wstring_view(shown));
        DWORD selectionStart = 0;
        DWORD selectionEnd = 0;
        send(EM_GETSEL, reinterpret_cast<WPARAM>(&selectionStart),
             reinterpret_cast<LPARAM>(&selectionEnd));
        const LRESULT firstLine = send(EM_GETFIRSTVISIBLELINE);

        send(WM_SETREDRAW, FALSE);
        send(EM_SETSEL, span.first, static_cast<LPARAM>(span.currentEnd));
        const std::wstring replacement = shown.substr(span.first, span.shownEnd - span.first);
        // Not undoable, and no undo left over: Ctrl+Z must not bring back an old listing.
        send(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(replacement.c_str()));
        send(EM_EMPTYUNDOBUFFER);
        auto moved = [&span](std::size_t at) {
            if (at <= span.first) return at;
            if (at >= span.currentEnd) return at - span.currentEnd + span.shownEnd;
            return span.shownEnd;
        };
        send(EM_SETSEL, moved(selectionStart), static_cast<LPARAM>(moved(selectionEnd)));
        send(EM_LINESCROLL, 0, firstLine - send(EM_GETFIRSTVISIBLELINE));
        send(WM_SETREDRAW, TRUE);
        ::RedrawWindow(box_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
    }

  private:
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(box_, message, wParam, lParam);
    }

    HWND box_;
};

frmOstrevan::frmOstrevan(HINSTANCE instance, DpiScaling dpi, station::SystemCalls& calls)
    : instance_(instance), dpi_(dpi), cycle_(*this, calls) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &frmOstrevan::windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    windowClass.hIconSm = static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                     ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    if (::RegisterClassExW(&windowClass) == 0) win32::throwLastError();

    // Created hidden; WM_CREATE makes the controls and the size follows the window's DPI.
    if (::CreateWindowExW(kWindowExStyle, kClassName, L"locked", kWindowStyle, CW_USEDEFAULT,
                          CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, this) == nullptr) {
        win32::throwLastError();
    }
}

frmOstrevan::~frmOstrevan() {
    if (frmOstrevan_ != nullptr) ::DestroyWindow(frmOstrevan_);
    if (listingFont_ != nullptr) ::DeleteObject(listingFont_);
    ::UnregisterClassW(kClassName, instance_);
}

void frmOstrevan::show(int showCommand) {
    // The load comes before the window first appears.
    cycle_.load();
    ::ShowWindow(frmOstrevan_, showCommand);
    // The text box is first in the tab order and has the focus when the window first shows.
    ::SetFocus(txtPuestos_);
}

int frmOstrevan::run() {
    MSG message{};
    BOOL got = 0;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (movedFocus(message) || outageBox_.tookMessage(message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return got == 0 ? static_cast<int>(message.wParam) : kUnhandledFailureExitStatus;
}

LRESULT CALLBACK frmOstrevan::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<frmOstrevan*>(
            reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->frmOstrevan_ = window;
        self->resultsWindow_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<frmOstrevan*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    try {
        return self->handle(window, message, wParam, lParam);
    } catch (...) {
        // No failure may leave a window procedure; the refresh cycle reports its own.
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT frmOstrevan::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            onCreate(window);
            return 0;
        case WM_TIMER:
            onTimer(wParam);
            return 0;
        case WM_COMMAND:
            onCommand(wParam);
            return 0;
        case WM_DPICHANGED:
            onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_DESTROY:
            onDestroy();
            return 0;
        case kResultsMessage:
            onResults();
            return 0;
        default:
            // The window's own handle: after WM_DESTROY the member no longer holds it.
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

void frmOstrevan::onCreate(HWND window) {
    // Created first, so first in the tab order.
    txtPuestos_ = ::CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"txtPuestos",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL, 0, 0, 0, 0,
        window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTxtPuestosId)), instance_, nullptr);
    // Blank, and wider than the window: clipped at the right edge, it is a bar across the top.
    cmdVer_ = ::CreateWindowExW(
        0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCmdVerId)), instance_, nullptr);
    txtPuestosText_ = std::make_unique<TextBox>(txtPuestos_);
    // No limit of the control's own: a listing of any length shows whole.
    ::SendMessageW(txtPuestos_, EM_SETLIMITTEXT, 0, 0);
    layOut(dpi_.forWindow(window));
}

void frmOstrevan::layOut(UINT dpi) {
    const RECT frame =
        dpi_.frameAround({0, 0, pixels(kClientArea.width, dpi), pixels(kClientArea.height, dpi)},
                         kWindowStyle, kWindowExStyle, dpi);
    ::SetWindowPos(frmOstrevan_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    auto place = [dpi](HWND control, const Twips& at) {
        ::MoveWindow(control, pixels(at.left, dpi), pixels(at.top, dpi), pixels(at.width, dpi),
                     pixels(at.height, dpi), TRUE);
    };
    place(cmdVer_, kCmdVer);
    place(txtPuestos_, kTxtPuestos);

    const HFONT previous = listingFont_;
    listingFont_ = createListingFont(dpi);
    ::SendMessageW(txtPuestos_, WM_SETFONT, reinterpret_cast<WPARAM>(listingFont_), TRUE);
    if (previous != nullptr) ::DeleteObject(previous);
}

void frmOstrevan::onTimer(WPARAM timer) {
    if (timer == kTimer1) cycle_.timer1Tick();
}

void frmOstrevan::onCommand(WPARAM wParam) {
    if (LOWORD(wParam) == kCmdVerId && HIWORD(wParam) == BN_CLICKED) cycle_.cmdVerClick();
}

void frmOstrevan::onDpiChanged(UINT dpi, const RECT& suggested) {
    ::SetWindowPos(frmOstrevan_, nullptr, suggested.left, suggested.top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    layOut(dpi);
}

void frmOstrevan::onDestroy() {
    // Nothing is posted to a window that is gone; the worker is not waited for.
    cycle_.windowGone();
    frmOstrevan_ = nullptr;
    // Closing the window ends the program.
    ::PostQuitMessage(0);
}

void frmOstrevan::onResults() { cycle_.resultsArrived(); }

bool frmOstrevan::movedFocus(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_TAB) return false;
    if (message.hwnd != txtPuestos_ && message.hwnd != cmdVer_) return false;
    ::SetFocus(message.hwnd == txtPuestos_ ? cmdVer_ : txtPuestos_);
    return true;
}

void frmOstrevan::startTimer1(int intervalMs) {
    if (::SetTimer(frmOstrevan_, kTimer1, static_cast<UINT>(intervalMs), nullptr) == 0) {
        win32::throwLastError();
    }
}

void frmOstrevan::stopTimer1() { ::KillTimer(frmOstrevan_, kTimer1); }

void frmOstrevan::setCaption(const std::string& caption) {
    // Only a change: each caption set is a name-change event that a screen reader may announce,
    // and a repaint of the taskbar.
    const std::wstring shown = win32::toWide(caption);
    if (windowText(frmOstrevan_) != shown) ::SetWindowTextW(frmOstrevan_, shown.c_str());
}

station::TextHolder& frmOstrevan::txtPuestos() { return *txtPuestosText_; }

void frmOstrevan::showMessageBox(const std::string& text) {
    // A box shown during the load, before the window is on screen, belongs to no window.
    const HWND owner = ::IsWindowVisible(frmOstrevan_) ? frmOstrevan_ : nullptr;
    ::MessageBoxW(owner, win32::toWide(text).c_str(), win32::toWide(kApplicationTitle).c_str(),
                  MB_OK);
}

void frmOstrevan::showOutageBox(const std::string& text) {
    outageBox_.show(frmOstrevan_, win32::toWide(kApplicationTitle), win32::toWide(text));
}

void frmOstrevan::closeOutageBox() noexcept { outageBox_.close(); }

void frmOstrevan::keepTopmost() noexcept {
    // Each call lifts the window to the head of the topmost band, over whatever another program
    // has open there: only a topmost window that covers it calls for one, or the loss of its own
    // place in the band (another program may take it away with HWND_NOTOPMOST).
    const bool topmost = (::GetWindowLongW(frmOstrevan_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost && !anotherTopmostWindowCovers(frmOstrevan_)) return;
    // Never activated: Windows would let a call without SWP_NOACTIVATE take the foreground, and
    // the keyboard with it, from the application the user works in (a scanner's keystrokes would
    // land in the listing). The result is of no use, since a window that could not be moved up is
    // looked at again on the next tick.
    ::SetWindowPos(frmOstrevan_, HWND_TOPMOST, -1, -1, 0, 0,
                   SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

void frmOstrevan::endProgram(int status) noexcept { ::PostQuitMessage(status); }

void frmOstrevan::postResults() noexcept {
    // A post that fails (the queue full) is made up by the next tick.
    ::PostMessageW(resultsWindow_, kResultsMessage, 0, 0);
}

}  // namespace viewer
