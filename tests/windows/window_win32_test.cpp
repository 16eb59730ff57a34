// The monitor's native window, in the test's own thread: its layout, the load, the refresh cycle,
// the listing box, its message boxes and the end after an unhandled failure. The test drives the
// window's messages itself, so a tick comes only when it lets one come.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cwctype>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "FaultyCalls.h"
#include "Support.h"
#include "station/PlatformFile.h"
#include "viewer/win32/frmOstrevan.h"
#include "win32/ErrorCategory.h"
#include "win32/Utf16.h"
#include "windows/ImportPatch.h"

namespace {

using testing_support::scanFolder;
using testing_support::TempFolder;
using testing_support::writeStationFile;

std::string textOf(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return win32::toUtf8(text);
}

// Left, top, width and height in the parent's client area.
std::array<long, 4> placeIn(HWND parent, HWND control) {
    RECT at{};
    ::GetWindowRect(control, &at);
    ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&at), 2);
    return {at.left, at.top, at.right - at.left, at.bottom - at.top};
}

// Counts the captions set on a window, as a screen reader hears them (each is a name change).
class CaptionCount {
  public:
    explicit CaptionCount(HWND window) : window_(window) {
        ::SetWindowSubclass(window_, &CaptionCount::procedure, 0,
                            reinterpret_cast<DWORD_PTR>(this));
    }
    CaptionCount(const CaptionCount&) = delete;
    CaptionCount& operator=(const CaptionCount&) = delete;
    ~CaptionCount() { ::RemoveWindowSubclass(window_, &CaptionCount::procedure, 0); }
    int count() const { return count_; }

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR, DWORD_PTR self) {
        if (message == WM_SETTEXT) ++reinterpret_cast<CaptionCount*>(self)->count_;
        return ::DefSubclassProc(window, message, wParam, lParam);
    }

    HWND window_;
    int count_ = 0;
};

class Win32WindowTest : public ::testing::Test {
  protected:
    explicit Win32WindowTest(station::SystemCalls& calls = station::systemCalls())
        : window(::GetModuleHandleW(nullptr), viewer::DpiScaling::ofThisSystem(), calls) {}
    // The worker, which nothing waits for, may be in a pass that the last tick started: it ends
    // that pass before the calls it reads through go (a test's, in a derived fixture).
    ~Win32WindowTest() override { EXPECT_TRUE(window.waitForTheWorker(std::chrono::seconds(30))); }

    void openOver(std::size_t records) {
        writeStationFile(folder.stationFile(), records * 81);
        window.setRutaFichero(folder.stationFile());
    }

    HWND frm() const { return window.handle(); }
    HWND txtPuestos() const { return ::FindWindowExW(frm(), nullptr, L"EDIT", nullptr); }
    HWND cmdVer() const { return ::FindWindowExW(frm(), nullptr, L"Button", nullptr); }
    std::string caption() const { return textOf(frm()); }
    std::string listing() const { return textOf(txtPuestos()); }

    // Lets the window have its messages, tick by tick, until condition holds; a guard of 50
    // ticks ends a wait that would hang. Tells whether it holds.
    bool ticksUntil(const std::function<bool()>& condition) {
        for (int tick = 0; tick < 50 && !condition(); ++tick) {
            if (!waitForTicks(1)) return false;
        }
        return condition();
    }

    // Shows the window and lets it have its messages until it is the active window: what the
    // platform does to a window that it activates (bringing it to the top) is then over.
    bool shownAndActive() {
        window.show(SW_SHOWNORMAL);
        return ticksUntil([this] { return ::GetForegroundWindow() == frm(); }) && waitForTicks(1);
    }

    // Lets the window have its messages until `ticks` more timer ticks have come.
    bool waitForTicks(int ticks) {
        return pumpUntil([&ticks] { return ticks <= 0; },
                         [&](const MSG& message) {
                             if (message.message == WM_TIMER && message.hwnd == frm()) --ticks;
                         });
    }

    // Lets the window have its messages until what the last tick or click started is shown.
    bool allRefreshesShown() {
        return pumpUntil([this] { return !window.refreshUnderWay(); });
    }
    // Lets the window have its messages until a refresh that began after this call is shown.
    bool aLaterRefreshShown() {
        if (!allRefreshesShown()) return false;
        const int shown = window.refreshesShown();
        return pumpUntil([&] { return window.refreshesShown() > shown; });
    }

    // Lets the window have its messages, each seen first, until done holds. A guard of some
    // seconds ends a wait that would hang; it measures nothing.
    bool pumpUntil(const std::function<bool()>& done,
                   const std::function<void(const MSG&)>& seen = {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            // A tick can take longer than the period (a long listing under Wine): the queue never
            // drains then, so the condition ends the loop.
            for (MSG message; !done() && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
                if (seen) seen(message);
                if (window.movedFocus(message)) continue;
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        return done();
    }

    TempFolder folder;
    viewer::frmOstrevan window;
};

// The layout in twips, in pixels at dpi: at 96 dpi, 137 x 426 with the button 283 x 23 at (4, 2)
// and the box 135 x 397 at (2, 26).
void expectLaidOutAt(HWND frm, UINT dpi) {
    const auto pixels = [dpi](long twips) { return ::MulDiv(twips, static_cast<int>(dpi), 1440); };
    RECT client{};
    ::GetClientRect(frm, &client);
    EXPECT_EQ(client.right, pixels(2055));
    EXPECT_EQ(client.bottom, pixels(6390));
    const HWND cmdVer = ::FindWindowExW(frm, nullptr, L"Button", nullptr);
    const HWND txtPuestos = ::FindWindowExW(frm, nullptr, L"EDIT", nullptr);
    EXPECT_EQ(placeIn(frm, cmdVer),
              (std::array<long, 4>{pixels(60), pixels(30), pixels(4245), pixels(345)}));
    EXPECT_EQ(placeIn(frm, txtPuestos),
              (std::array<long, 4>{pixels(30), pixels(390), pixels(2025), pixels(5955)}));

    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(txtPuestos, WM_GETFONT, 0, 0)), sizeof font,
                 &font);
    EXPECT_STREQ(font.lfFaceName, L"MS Serif");
    EXPECT_EQ(font.lfHeight, -::MulDiv(6, static_cast<int>(dpi), 72));  // 6 points
    EXPECT_EQ(font.lfWeight, FW_NORMAL);
    EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut);
    EXPECT_EQ(font.lfCharSet, ANSI_CHARSET);
}

TEST_F(Win32WindowTest, LaidOutAsDrawnAtTheWindowsDpi) {
    expectLaidOutAt(frm(), ::GetDpiForWindow(frm()));
    EXPECT_EQ(textOf(cmdVer()), "");
    const auto style = ::GetWindowLongW(txtPuestos(), GWL_STYLE);
    EXPECT_TRUE(style & ES_MULTILINE);
    EXPECT_TRUE(style & WS_VSCROLL);
    EXPECT_FALSE(::GetWindowLongW(frm(), GWL_STYLE) & WS_MAXIMIZEBOX);
    EXPECT_TRUE(::GetWindowLongW(frm(), GWL_EXSTYLE) & WS_EX_TOPMOST);
}

// As on Windows 7 and 8.1, which lack the per-window DPI functions: laid out at the system DPI.
TEST(Win32WindowWithoutPerWindowDpi, IsLaidOutAtTheSystemDpi) {
    viewer::frmOstrevan window(::GetModuleHandleW(nullptr), viewer::DpiScaling::systemOnly());
    const HDC screen = ::GetDC(nullptr);
    const int systemDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    expectLaidOutAt(window.handle(), static_cast<UINT>(systemDpi));
}

// A setting of the program's manifest, as Windows reads it, lower-cased; empty when it has none.
std::wstring manifestSetting(const wchar_t* settingsNamespace, const wchar_t* name) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (!::QueryActCtxSettingsW(0, nullptr, settingsNamespace, name, value, std::size(value),
                                &written)) {
        return {};
    }
    std::wstring setting(value);
    for (wchar_t& c : setting) c = static_cast<wchar_t>(::towlower(c));
    return setting;
}

// Of a comma-separated dpiAwareness list, the value that a Windows which knows only `known` takes:
// the first it knows.
std::wstring takenFrom(const std::wstring& list, std::initializer_list<std::wstring_view> known) {
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find(L',', start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring_view value(list.data() + start, end - start);
        while (!value.empty() && value.front() == L' ') value.remove_prefix(1);
        while (!value.empty() && value.back() == L' ') value.remove_suffix(1);
        if (std::ranges::find(known, value) != known.end()) return std::wstring(value);
        start = end + 1;
    }
    return {};
}

// Every Windows the monitor runs on reads a per-monitor awareness that it knows from the manifest:
// dpiAwareness on Windows 10 (1607 does not know PerMonitorV2, which came with 1703), dpiAware on
// 7 and 8.1, which do not read dpiAwareness.
TEST(Win32WindowManifest, DeclaresPerMonitorDpiAwarenessThatEachWindowsKnows) {
    const std::wstring awareness =
        manifestSetting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness");
    EXPECT_EQ(takenFrom(awareness, {L"unaware", L"system", L"permonitor", L"permonitorv2"}),
              L"permonitorv2");
    EXPECT_EQ(takenFrom(awareness, {L"unaware", L"system", L"permonitor"}), L"permonitor");
    EXPECT_EQ(
        manifestSetting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
        L"true/pm");
}

TEST_F(Win32WindowTest, ShowsNothingOfTheFileBeforeTheFirstTickAndTheListingAfterIt) {
    openOver(7);
    window.show(SW_SHOWNORMAL);
    EXPECT_EQ(caption(), "locked");
    EXPECT_EQ(listing(), "txtPuestos");
    EXPECT_EQ(::GetFocus(), txtPuestos());

    ASSERT_TRUE(aLaterRefreshShown());
    EXPECT_EQ(caption(), "7");
    EXPECT_EQ(listing(), "2\t3\r\n4\t5\t6\r\n7\t8\t");

    // Tab leaves the text box for the button, as from any edit box, and types no tab.
    ::PostMessageW(txtPuestos(), WM_KEYDOWN, VK_TAB, 0);
    ASSERT_TRUE(waitForTicks(1));
    EXPECT_EQ(::GetFocus(), cmdVer());
    EXPECT_EQ(listing(), "2\t3\r\n4\t5\t6\r\n7\t8\t");
}

TEST_F(Win32WindowTest, TheCaptionIsSetOnlyWhenItChanges) {
    openOver(7);
    window.show(SW_SHOWNORMAL);
    CaptionCount captions(frm());
    ASSERT_TRUE(aLaterRefreshShown());
    ASSERT_TRUE(waitForTicks(5));
    EXPECT_EQ(caption(), "7");
    EXPECT_EQ(captions.count(), 1);

    // Written while no pass reads it: a pass would list the file half-written.
    ASSERT_TRUE(allRefreshesShown());
    writeStationFile(folder.stationFile(), 9 * 81);
    ASSERT_TRUE(aLaterRefreshShown());
    ASSERT_TRUE(waitForTicks(5));
    EXPECT_EQ(caption(), "9");
    EXPECT_EQ(captions.count(), 2);
}

// Records the window of each WM_NCDESTROY that reaches DefWindowProcW, through this program's
// import of it, into which the window's code is linked: the default procedure frees the window's
// own memory then, and nothing outside shows whether it did.
class NcDestroyRecorder {
  public:
    NcDestroyRecorder() : import_("user32.dll", "DefWindowProcW", &NcDestroyRecorder::record) {
        original_ = import_.original();
    }
    bool hooked() const { return import_.original() != nullptr; }
    // A plain function stands in for DefWindowProcW, so what it records is static.
    static inline std::vector<HWND> windows;

  private:
    static LRESULT WINAPI record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCDESTROY) windows.push_back(window);
        return original_(window, message, wParam, lParam);
    }

    static inline decltype(&::DefWindowProcW) original_ = nullptr;
    testing_support::ReplacedImport<decltype(&::DefWindowProcW)> import_;
};

TEST_F(Win32WindowTest, ItsDestructionReachesTheDefaultProcedureWithItsOwnHandle) {
    NcDestroyRecorder recorder;
    ASSERT_TRUE(recorder.hooked());
    const HWND destroyed = frm();
    ASSERT_TRUE(::DestroyWindow(destroyed));
    EXPECT_EQ(NcDestroyRecorder::windows, std::vector<HWND>{destroyed});
}

TEST_F(Win32WindowTest, ClickRefreshesAtOnceAndTheNextTickFollowsGrowth) {
    openOver(7);
    window.show(SW_SHOWNORMAL);
    ASSERT_TRUE(aLaterRefreshShown());

    // No message is let through between the growth and the click: only the click can have
    // started the pass, and a tick during it starts none.
    writeStationFile(folder.stationFile(), 9 * 81);
    ::SendMessageW(cmdVer(), BM_CLICK, 0, 0);
    EXPECT_TRUE(window.refreshUnderWay());
    ASSERT_TRUE(allRefreshesShown());
    EXPECT_EQ(caption(), "9");
    EXPECT_EQ(listing(), scanFolder(folder.path()).listing);

    writeStationFile(folder.stationFile(), 12 * 81 + 40);
    ASSERT_TRUE(aLaterRefreshShown());
    EXPECT_EQ(caption(), "12");
    EXPECT_EQ(listing(), scanFolder(folder.path()).listing);
}

TEST_F(Win32WindowTest, TypedTextIsReplacedAndNoUndoBringsItBack) {
    openOver(7);
    window.show(SW_SHOWNORMAL);
    ASSERT_TRUE(aLaterRefreshShown());
    const std::string shown = listing();
    ::SendMessageW(txtPuestos(), EM_SETSEL, 0, 0);
    for (const wchar_t typed : std::wstring(L"typed")) {
        ::SendMessageW(txtPuestos(), WM_CHAR, typed, 0);
    }
    EXPECT_EQ(listing(), "typed" + shown);
    ASSERT_TRUE(aLaterRefreshShown());
    EXPECT_EQ(listing(), shown);
    EXPECT_FALSE(::SendMessageW(txtPuestos(), EM_CANUNDO, 0, 0));
}

TEST_F(Win32WindowTest, ASelectionAndTheScrollPositionSurviveRefreshes) {
    openOver(600);
    window.show(SW_SHOWNORMAL);
    ASSERT_TRUE(aLaterRefreshShown());
    ::SendMessageW(txtPuestos(), EM_LINESCROLL, 0, 50);
    ::SendMessageW(txtPuestos(), EM_SETSEL, 3, 9);
    const LRESULT firstLine = ::SendMessageW(txtPuestos(), EM_GETFIRSTVISIBLELINE, 0, 0);
    ASSERT_GT(firstLine, 0);

    auto selection = [&] {
        DWORD start = 0;
        DWORD end = 0;
        ::SendMessageW(txtPuestos(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                       reinterpret_cast<LPARAM>(&end));
        return std::pair(start, end);
    };
    ASSERT_TRUE(aLaterRefreshShown());  // unchanged listing
    EXPECT_EQ(selection(), std::pair(DWORD{3}, DWORD{9}));
    writeStationFile(folder.stationFile(), 650 * 81);  // changed further down
    ASSERT_TRUE(aLaterRefreshShown());
    EXPECT_EQ(caption(), "650");
    EXPECT_EQ(selection(), std::pair(DWORD{3}, DWORD{9}));
    EXPECT_EQ(::SendMessageW(txtPuestos(), EM_GETFIRSTVISIBLELINE, 0, 0), firstLine);
}

TEST_F(Win32WindowTest, ALongListingShowsWhole) {
    openOver(10000);
    window.show(SW_SHOWNORMAL);
    ASSERT_TRUE(aLaterRefreshShown());
    EXPECT_EQ(caption(), "10000");
    EXPECT_EQ(listing(), scanFolder(folder.path()).listing);
}

// A visible message box of this process, if there is one: another program's boxes are its own.
HWND messageBoxOfThisProcess() {
    struct Search {
        HWND found = nullptr;
    } search;
    ::EnumWindows(
        [](HWND window, LPARAM lParam) -> BOOL {
            wchar_t className[16] = {};
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (process != ::GetCurrentProcessId() || !::IsWindowVisible(window) ||
                ::GetClassNameW(window, className, 16) == 0 ||
                std::wstring_view(className) != L"#32770") {
                return TRUE;
            }
            reinterpret_cast<Search*>(lParam)->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Answers each message box of this process with OK from a thread of its own, and records what
// each said.
class BoxAnswerer {
  public:
    BoxAnswerer()
        : watcher_([this] {
              while (!done_) {
                  const HWND box = messageBoxOfThisProcess();
                  if (box != nullptr) {
                      texts_.push_back({textOf(box), textOf(::GetDlgItem(box, 0xFFFF))});
                      ::SendMessageW(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
                      while (::IsWindow(box) && !done_) std::this_thread::sleep_for(kPoll);
                  }
                  std::this_thread::sleep_for(kPoll);
              }
          }) {}
    ~BoxAnswerer() {
        done_ = true;
        if (watcher_.joinable()) watcher_.join();
    }
    // Title and text of each box, once the boxes are over.
    std::vector<std::pair<std::string, std::string>> boxes() {
        done_ = true;
        if (watcher_.joinable()) watcher_.join();
        return texts_;
    }

  private:
    static constexpr std::chrono::milliseconds kPoll{5};
    std::atomic<bool> done_ = false;
    std::vector<std::pair<std::string, std::string>> texts_;
    std::thread watcher_;
};

// Another program (other-program.exe, in the mode that `arguments` names), until the test ends.
class OtherProgram {
  public:
    explicit OtherProgram(const std::wstring& arguments) {
        std::wstring commandLine = L"\"" +
                                   (station::executableFolder() / "other-program.exe").native() +
                                   L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &started_)) {
            win32::throwLastError();
        }
    }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    ~OtherProgram() {
        ::TerminateProcess(started_.hProcess, 0);
        ::WaitForSingleObject(started_.hProcess, INFINITE);
        ::CloseHandle(started_.hThread);
        ::CloseHandle(started_.hProcess);
    }

    // Its visible top-level window of that class, if it has one.
    HWND window(std::wstring_view className) const {
        struct Search {
            DWORD process;
            std::wstring_view className;
            HWND found = nullptr;
        } search{started_.dwProcessId, className};
        ::EnumWindows(
            [](HWND window, LPARAM lParam) -> BOOL {
                auto& searching = *reinterpret_cast<Search*>(lParam);
                wchar_t name[64] = {};
                DWORD process = 0;
                ::GetWindowThreadProcessId(window, &process);
                if (process != searching.process || !::IsWindowVisible(window) ||
                    ::GetClassNameW(window, name, 64) == 0 || name != searching.className) {
                    return TRUE;
                }
                searching.found = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    // The same, once it has appeared; a guard of some seconds ends a wait that would hang.
    HWND shownWindow(std::wstring_view className) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        HWND found = nullptr;
        while ((found = window(className)) == nullptr &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return found;
    }

  private:
    PROCESS_INFORMATION started_{};
};

TEST_F(Win32WindowTest, OpenFailureIsShownAtLoadAndTheFirstRefreshEndsTheProgram) {
    // A box of another program, open all along, is neither answered nor counted.
    OtherProgram otherBox(L"box");
    ASSERT_NE(otherBox.shownWindow(L"#32770"), nullptr);
    const auto missing = folder.path() / "missing" / "Brevanto.SIT";
    window.setRutaFichero(missing);
    BoxAnswerer answerer;
    window.show(SW_SHOWNORMAL);
    const int status = window.run();
    const auto boxes = answerer.boxes();
    EXPECT_EQ(status, 1);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], std::pair(std::string("prOstrevan"),
                                  std::to_string(ERROR_PATH_NOT_FOUND) + "-" +
                                      win32::errorCategory().message(ERROR_PATH_NOT_FOUND)));
    EXPECT_EQ(boxes[1].first, "prOstrevan");
    EXPECT_EQ(boxes[1].second,
              "Run-time failure 9:\n\nBad file descriptor\n\nThe monitor ends here.");
    EXPECT_NE(otherBox.window(L"#32770"), nullptr);
}

// Counts the calls that put the window at the head of the topmost band, through this program's
// import of SetWindowPos, into which the window's code is linked; each goes on to the system.
class TopmostCalls {
  public:
    explicit TopmostCalls(HWND window)
        : import_("user32.dll", "SetWindowPos", &TopmostCalls::record) {
        window_ = window;
        reset();
        original_ = import_.original();
    }
    bool hooked() const { return import_.original() != nullptr; }
    int count() const { return count_; }
    void reset() { count_ = 0; }

  private:
    // A plain function stands in for SetWindowPos, so what it records is static.
    static BOOL WINAPI record(HWND window, HWND insertAfter, int x, int y, int width, int height,
                              UINT flags) {
        if (window == window_ && insertAfter == HWND_TOPMOST) ++count_;
        return original_(window, insertAfter, x, y, width, height, flags);
    }

    static inline decltype(&::SetWindowPos) original_ = nullptr;
    static inline HWND window_ = nullptr;
    static inline int count_ = 0;
    testing_support::ReplacedImport<decltype(&::SetWindowPos)> import_;
};

// Whether upper lies above lower among the top-level windows, which EnumWindows gives top first.
bool isAbove(HWND upper, HWND lower) {
    struct Search {
        HWND upper;
        HWND lower;
        HWND first = nullptr;
    } search{upper, lower};
    ::EnumWindows(
        [](HWND window, LPARAM lParam) -> BOOL {
            auto& searching = *reinterpret_cast<Search*>(lParam);
            if (window != searching.upper && window != searching.lower) return TRUE;
            searching.first = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.first == upper;
}

std::wstring decimal(long value) { return std::to_wstring(value); }

// The monitor over a file of 7 records, shown, active, and its topmost calls counted from then on.
class Win32KeepTopmostTest : public Win32WindowTest {
  protected:
    void SetUp() override {
        openOver(7);
        ASSERT_TRUE(shownAndActive());
        ASSERT_TRUE(calls.hooked());
        calls.reset();
        ::GetWindowRect(frm(), &at);
    }

    TopmostCalls calls{frm()};
    RECT at{};
};

TEST_F(Win32KeepTopmostTest, MakesNoCallWhileNothingCoversIt) {
    ASSERT_TRUE(waitForTicks(20));
    EXPECT_EQ(caption(), "7");
    EXPECT_EQ(calls.count(), 0);
}

TEST_F(Win32KeepTopmostTest, OvertakesAnotherProgramsTopmostWindowOverIt) {
    OtherProgram other(L"topmost " + decimal(at.left + 10) + L" " + decimal(at.top + 10) +
                       L" 60 60");
    const HWND over = other.shownWindow(L"topmost");
    ASSERT_NE(over, nullptr);
    ASSERT_TRUE(isAbove(over, frm()));

    EXPECT_TRUE(ticksUntil([&] { return isAbove(frm(), over); }));
    // Over it again, the monitor makes no more calls.
    const int overtaking = calls.count();
    EXPECT_GE(overtaking, 1);
    ASSERT_TRUE(waitForTicks(5));
    EXPECT_EQ(calls.count(), overtaking);
    EXPECT_TRUE(isAbove(frm(), over));
}

TEST_F(Win32KeepTopmostTest, TakesItsPlaceInTheTopmostBandBackWhenAnotherProgramTookIt) {
    // As another program may, with nothing over the monitor to tell of it.
    ::SetWindowPos(frm(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
    ASSERT_FALSE(::GetWindowLongW(frm(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_TRUE(ticksUntil([&] { return ::GetWindowLongW(frm(), GWL_EXSTYLE) & WS_EX_TOPMOST; }));
    ASSERT_TRUE(waitForTicks(5));
    EXPECT_EQ(calls.count(), 1);
}

TEST_F(Win32KeepTopmostTest, LeavesAnotherProgramsMenuOverIt) {
    OtherProgram other(L"menu " + decimal(at.left + 20) + L" " + decimal(at.top + 40));
    const HWND menu = other.shownWindow(L"#32768");
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(isAbove(menu, frm()));

    ASSERT_TRUE(waitForTicks(20));
    EXPECT_EQ(calls.count(), 0);
    EXPECT_TRUE(isAbove(menu, frm()));
}

// The share's faults, made before the window that reads through them and gone after it.
struct WithAShare {
    testing_support::FaultyCalls share;
};

// The monitor over a share whose session drops when the test says.
class Win32WindowOverAShareTest : protected WithAShare, public Win32WindowTest {
  protected:
    Win32WindowOverAShareTest() : Win32WindowTest(share.calls()) {}
};

// A click, as the user's: through the system's input, at a point of the screen. Each event
// carries the point itself, so that no pointer motion still on its way can move the click.
void clickAt(POINT at) {
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    INPUT click[3] = {};
    for (INPUT& event : click) {
        event.type = INPUT_MOUSE;
        event.mi.dx = MulDiv(at.x, 65535, width - 1);
        event.mi.dy = MulDiv(at.y, 65535, height - 1);
        event.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    click[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
    click[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
    ::SendInput(3, click, sizeof(INPUT));
}

std::wstring classOf(HWND window) {
    wchar_t name[64] = {};
    const int length = window == nullptr ? 0 : ::GetClassNameW(window, name, 64);
    return length == 0 ? L"no window" : std::wstring(name, static_cast<std::size_t>(length));
}

POINT centreOf(HWND window) {
    RECT area{};
    ::GetWindowRect(window, &area);
    return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

TEST_F(Win32WindowOverAShareTest, ABoxAnsweredWithAClickLeavesTheForegroundToTheOtherProgram) {
    openOver(7);
    ASSERT_TRUE(shownAndActive());
    OtherProgram till(L"till");
    const HWND other = till.shownWindow(L"worksheet");
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(ticksUntil([&] { return ::GetForegroundWindow() == other; }));

    // The server stays down: the outage, and the box, go on.
    share.dropOpenFiles();
    share.failOpens(1'000'000);
    ASSERT_TRUE(aLaterRefreshShown());
    const HWND box = messageBoxOfThisProcess();
    ASSERT_NE(box, nullptr);

    // The user clicks its OK, through the system's input as a hand would, once it is there to
    // be clicked: shown, and not under another window. Under Wine the press activates the box
    // through the X server; where the window manager's answer comes between press and release,
    // the button lets go of the press and nothing is clicked. A hand clicks again then.
    const HWND ok = ::GetDlgItem(box, IDOK);
    std::wstring missed;
    for (int click = 0; click < 3 && ::IsWindow(box); ++click) {
        ASSERT_TRUE(ticksUntil([&] { return ::WindowFromPoint(centreOf(ok)) == ok; }))
            << "under the OK: " << classOf(::WindowFromPoint(centreOf(ok)));
        clickAt(centreOf(ok));
        if (ticksUntil([&] { return !::IsWindow(box); })) break;
        missed += L" the foreground " + classOf(::GetForegroundWindow()) + L",";
    }
    ASSERT_FALSE(::IsWindow(box)) << "after clicks that left" << missed;
    // The hand-back goes through the X server and its window manager: it comes, and it stays.
    EXPECT_TRUE(ticksUntil([&] { return ::GetForegroundWindow() == other; }))
        << "the foreground " << classOf(::GetForegroundWindow()) << ", the monitor " << frm();
    ASSERT_TRUE(waitForTicks(5));
    EXPECT_EQ(::GetForegroundWindow(), other) << "the monitor is " << frm();
}

}  // namespace
