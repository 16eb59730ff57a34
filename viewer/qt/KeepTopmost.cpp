// X11: how the window comes back over a window made "above" after it, and why never by a raise.
//
// A plain raise (ConfigureWindow with only a stack mode, what QWidget::raise() sends) is read
// differently by each window manager: xfwm4 activates the window, so it takes the keyboard focus;
// mutter and metacity refuse it while another application is active and mark the window as
// demanding attention; icewm honours it but marks it too. Instead the window asks to be restacked
// just over the window that covers it, in the first of these ways that the window manager has not
// refused:
// - _NET_RESTACK_WINDOW with the source indication of a pager, where the window manager lists it
//   as supported (openbox, icewm, metacity, mutter; all but icewm ignore it from an ordinary
//   application; fluxbox stacks the window under the sibling instead);
// - the synthetic ConfigureRequest with a sibling that ICCCM prescribes for restacking a
//   reparented window (XReconfigureWMWindow's): xfwm4;
// - the same request for the covering window, to go under this one: marco and fluxbox, which
//   refuse both of the above.
// A way that goes unanswered ten ticks in a row, or that makes the window manager flag the window
// as demanding attention (marco), is refused and not asked again under that window manager; when
// every way is refused (awesome), the window asks nothing more. None activates the window or sets
// its user time, which would steer the window manager's focus decisions. With no window manager,
// a plain restack just over the covering window moves no focus.
#include "viewer/qt/KeepTopmost.h"

#include <xcb/xcb.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace viewer {
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

enum Atom : std::size_t {
    kClientListStacking,
    kSupported,
    kRestackWindow,
    kWmState,
    kWmStateAbove,
    kWmStateDemandsAttention,
    kWmStateFullscreen,
    kSupportingWmCheck,
    kAtomCount
};
constexpr std::array<std::string_view, kAtomCount> kAtomNames = {
    "_NET_CLIENT_LIST_STACKING", "_NET_SUPPORTED",
    "_NET_RESTACK_WINDOW",       "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",       "_NET_WM_STATE_DEMANDS_ATTENTION",
    "_NET_WM_STATE_FULLSCREEN",  "_NET_SUPPORTING_WM_CHECK"};

// EWMH's source indication of a pager, a client acting on the user's direct wish.
constexpr std::uint32_t kSourcePager = 2;
constexpr std::uint32_t kRemoveState = 0;
constexpr std::uint32_t kLongListLength = 4096;
// Client window, the window manager's frame around it and perhaps a window between: deeper
// nesting is no frame.
constexpr int kDeepestFrame = 8;
// A way of asking that goes unanswered this many ticks in a row is refused, and not asked again
// under this window manager: a window manager that does it answers within a tick or two.
constexpr int kUnansweredBeforeRefused = 10;

// How the window asks to come back over the window that covers it, in the order tried.
enum Way : std::size_t {
    // _NET_RESTACK_WINDOW just over it, as a pager: openbox, icewm, metacity, mutter.
    kRestackMessage,
    // ICCCM's synthetic ConfigureRequest just over it: xfwm4.
    kSiblingRequest,
    // The same request for the covering window, to go under this one: marco, which refuses both
    // of the above (and flags the window as demanding attention for the second).
    kSinkCovering,
    // With no window manager, a plain restack, which nobody redirects and which moves no focus.
    kPlainRestack,
    kWayCount
};

// The reply to a question about another program's window, or none when that window is gone: no
// failure of ours, so its error is dropped here rather than reported by Qt.
template <typename Reply, typename Cookie>
ReplyPtr<Reply> answer(xcb_connection_t* connection, Cookie cookie,
                       Reply* (*read)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<Reply> reply(read(connection, cookie, &error));
    std::free(error);
    return reply;
}

template <typename Value>
std::vector<Value> propertyValues(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 32) return {};
    const auto* values = static_cast<const Value*>(xcb_get_property_value(reply));
    return {values, values + reply->value_len};
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* connection, xcb_window_t window,
                                      xcb_atom_t property, xcb_atom_t type) {
    return xcb_get_property(connection, 0, window, property, type, 0, kLongListLength);
}

// The class part of a window's WM_CLASS (instance and class, each ending in a zero byte).
std::string windowClass(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 8) return {};
    const std::string_view both(static_cast<const char*>(xcb_get_property_value(reply)),
                                static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    const auto end = both.find('\0');
    if (end == std::string_view::npos) return {};
    const auto rest = both.substr(end + 1);
    return std::string(rest.substr(0, rest.find('\0')));
}

// What the window manager shows of one client window: its frame on the screen, whether it is in
// the "above" layer or fullscreen, and whether it is another monitor of this program's kind.
struct StackedWindow {
    xcb_window_t id;
    QRect frame;
    bool above;
    bool fullscreen;
    bool monitor;
};

// The top-level windows of this program, which the window never climbs over (its own message
// boxes, say).
std::vector<xcb_window_t> ownTopLevels() {
    std::vector<xcb_window_t> own;
    for (const QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->handle() != nullptr) own.push_back(static_cast<xcb_window_t>(window->winId()));
    }
    return own;
}

bool contains(const std::vector<xcb_window_t>& windows, xcb_window_t window) {
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

}  // namespace

class KeepTopmost::X11 {
  public:
    X11(xcb_connection_t* connection, xcb_window_t window)
        : connection_(connection), window_(window) {
        internAtoms();
        const ReplyPtr<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window_), nullptr));
        root_ = tree ? tree->root : XCB_NONE;
        // Qt listens on the root window too: add to its events, do not replace them.
        const ReplyPtr<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, root_), nullptr));
        // The top-level windows' restacks tell of changes that a window manager's stacking list
        // may not (fluxbox's), or that no list tells with no window manager.
        const std::uint32_t mask = (attributes ? attributes->your_event_mask : 0) |
                                   XCB_EVENT_MASK_PROPERTY_CHANGE |
                                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        const ReplyPtr<xcb_get_property_reply_t> ownClass(xcb_get_property_reply(
            connection_, askProperty(connection_, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
            nullptr));
        ownClass_ = windowClass(ownClass.get());
    }

    // Marks what it learns stale when the stacking changes (the window manager's stacking
    // list, or a restack, move, map or unmap of any top-level window, which some window managers
    // leave out of their list), or the window manager, or the layer of a window over this one.
    void notice(const xcb_generic_event_t& event) {
        switch (event.response_type & 0x7f) {
            case XCB_PROPERTY_NOTIFY: {
                const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(event);
                if (change.window == root_) {
                    stale_ = stale_ || change.atom == atoms_[kClientListStacking] ||
                             change.atom == atoms_[kSupported] ||
                             change.atom == atoms_[kSupportingWmCheck];
                } else if (change.window == window_) {
                    attentionToCheck_ = attentionToCheck_ || change.atom == atoms_[kWmState];
                } else {
                    stale_ = stale_ || (change.atom == atoms_[kWmState] &&
                                        contains(clientsOver_, change.window));
                }
                break;
            }
            case XCB_CONFIGURE_NOTIFY: {
                const auto& moved = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
                stale_ = stale_ || moved.window == window_ || moved.event == root_;
                break;
            }
            case XCB_MAP_NOTIFY:
            case XCB_UNMAP_NOTIFY:
            case XCB_DESTROY_NOTIFY:
            case XCB_REPARENT_NOTIFY: {
                // The window of each of these events is at the same place in all four.
                const auto& change = reinterpret_cast<const xcb_map_notify_event_t&>(event);
                stale_ = stale_ || change.window == window_ || change.event == root_;
                break;
            }
            default:
                break;
        }
    }

    void keep() {
        if (attentionToCheck_) {
            attentionToCheck_ = false;
            dropAttention();
        }
        if (stale_) {
            stale_ = false;
            study();
        }
        judgeLastRequest();
        if (covering_ != XCB_NONE && !pointerWhereRestackingWouldMoveIt()) {
            if (const auto way = firstWayLeft()) {
                ask(*way, covering_);
                pending_ = Request{*way, covering_};
            }
        }
        xcb_flush(connection_);
    }

  private:
    struct Request {
        Way way;
        xcb_window_t over;
    };

    bool bare() const { return windowManager_ == XCB_NONE; }

    void internAtoms() {
        std::array<xcb_intern_atom_cookie_t, kAtomCount> cookies{};
        for (std::size_t i = 0; i < kAtomCount; ++i) {
            cookies[i] =
                xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(kAtomNames[i].size()),
                                kAtomNames[i].data());
        }
        for (std::size_t i = 0; i < kAtomCount; ++i) {
            const ReplyPtr<xcb_intern_atom_reply_t> reply(
                xcb_intern_atom_reply(connection_, cookies[i], nullptr));
            atoms_[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        }
    }

    // The window that the window manager names as its own, or none when no window manager
    // runs: the root's _NET_SUPPORTING_WM_CHECK outlives a window manager that ended, so the
    // window it names must name itself.
    xcb_window_t runningWindowManager(const xcb_get_property_reply_t* rootCheck) {
        const auto named = propertyValues<xcb_window_t>(rootCheck);
        if (named.empty()) return XCB_NONE;
        const auto itself = answer(
            connection_,
            askProperty(connection_, named.front(), atoms_[kSupportingWmCheck], XCB_ATOM_WINDOW),
            xcb_get_property_reply);
        const auto names = propertyValues<xcb_window_t>(itself.get());
        return !names.empty() && names.front() == named.front() ? named.front()
                                                                : xcb_window_t{XCB_NONE};
    }

    // Reads which window manager runs and which windows lie over this one, and finds the
    // topmost window among them that it should come back over: an "above" window (any window,
    // with no window manager) that covers part of it, but never another monitor, which would
    // then climb back over this one, nor a fullscreen window: a window manager that stacks a
    // fullscreen window over the "above" layer (openbox, KWin) refuses every request to come
    // over it, and one that does not never has it over this window.
    void study() {
        const auto stackingCookie =
            askProperty(connection_, root_, atoms_[kClientListStacking], XCB_ATOM_WINDOW);
        const auto supportedCookie =
            askProperty(connection_, root_, atoms_[kSupported], XCB_ATOM_ATOM);
        const auto checkCookie =
            askProperty(connection_, root_, atoms_[kSupportingWmCheck], XCB_ATOM_WINDOW);
        const ReplyPtr<xcb_get_property_reply_t> stackingReply(
            xcb_get_property_reply(connection_, stackingCookie, nullptr));
        const ReplyPtr<xcb_get_property_reply_t> supportedReply(
            xcb_get_property_reply(connection_, supportedCookie, nullptr));
        const ReplyPtr<xcb_get_property_reply_t> checkReply(
            xcb_get_property_reply(connection_, checkCookie, nullptr));
        const auto supported = propertyValues<xcb_atom_t>(supportedReply.get());
        managerRestacks_ = std::find(supported.begin(), supported.end(), atoms_[kRestackWindow]) !=
                           supported.end();
        const xcb_window_t manager = runningWindowManager(checkReply.get());
        if (manager != windowManager_) {
            // Another window manager may do what this one refused.
            windowManager_ = manager;
            unanswered_.fill(0);
            frameOf_.clear();
        }

        std::vector<xcb_window_t> clients{window_};
        std::vector<xcb_window_t> frames;
        if (bare()) {
            addBareWindowsOver(clients);
            frames = clients;
        } else {
            managedWindowsOver(propertyValues<xcb_window_t>(stackingReply.get()), clients, frames);
        }
        watch(clients);

        covering_ = XCB_NONE;
        overlaps_.clear();
        if (clients.size() == 1) return;
        const auto described = describe(clients, frames);
        const std::optional<StackedWindow>& mine = described.front();
        if (!mine) return;
        // Top down: the covering window, then the windows under it that the restack would put
        // this one over too.
        for (auto window = described.rbegin(); window != std::prev(described.rend()); ++window) {
            if (!*window || !(*window)->frame.intersects(mine->frame)) continue;
            if (covering_ == XCB_NONE && !(*window)->monitor && !(*window)->fullscreen &&
                ((*window)->above || bare())) {
                covering_ = (*window)->id;
            }
            if (covering_ != XCB_NONE) overlaps_.push_back((*window)->frame & mine->frame);
        }
    }

    // With no window manager: the mapped top-level windows over this one, but for menus and
    // tooltips (override-redirect), which come and go by themselves, and this program's own.
    void addBareWindowsOver(std::vector<xcb_window_t>& clients) {
        const auto tree =
            answer(connection_, xcb_query_tree(connection_, root_), xcb_query_tree_reply);
        if (!tree) return;
        const auto* children = xcb_query_tree_children(tree.get());
        const std::vector<xcb_window_t> stacking(
            children, children + xcb_query_tree_children_length(tree.get()));
        const auto self = std::find(stacking.begin(), stacking.end(), window_);
        if (self == stacking.end()) return;
        const auto own = ownTopLevels();
        std::vector<std::pair<xcb_window_t, xcb_get_window_attributes_cookie_t>> questions;
        for (auto window = std::next(self); window != stacking.end(); ++window) {
            if (!contains(own, *window)) {
                questions.emplace_back(*window, xcb_get_window_attributes(connection_, *window));
            }
        }
        for (const auto& [window, cookie] : questions) {
            const auto attributes = answer(connection_, cookie, xcb_get_window_attributes_reply);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                attributes->override_redirect == 0) {
                clients.push_back(window);
            }
        }
    }

    // The managed windows whose frames lie over this window's frame in the X server's own
    // stacking, bottom to top, after this window, with their frames after its frame. A window
    // manager may keep its stacking list in another order (fluxbox): the list only says which
    // windows it manages.
    void managedWindowsOver(const std::vector<xcb_window_t>& managed,
                            std::vector<xcb_window_t>& clients, std::vector<xcb_window_t>& frames) {
        frames = {XCB_NONE};
        if (!contains(managed, window_)) return;
        const auto tree =
            answer(connection_, xcb_query_tree(connection_, root_), xcb_query_tree_reply);
        if (!tree) return;
        const auto* children = xcb_query_tree_children(tree.get());
        std::unordered_map<xcb_window_t, std::size_t> place;
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            place.emplace(children[i], static_cast<std::size_t>(i));
        }
        // Frames once found are kept: a window manager frames a window once, when it takes it
        // on. One no longer among the root's children is looked for again.
        std::erase_if(frameOf_, [&managed, &place](const auto& known) {
            return !contains(managed, known.first) || !place.contains(known.second);
        });
        std::vector<xcb_window_t> unknown;
        for (const xcb_window_t window : managed) {
            if (!frameOf_.contains(window)) unknown.push_back(window);
        }
        const auto found = framesOf(unknown);
        for (std::size_t i = 0; i < unknown.size(); ++i) {
            if (found[i] != XCB_NONE) frameOf_.emplace(unknown[i], found[i]);
        }
        const auto mine = frameOf_.find(window_);
        if (mine == frameOf_.end()) return;
        frames.front() = mine->second;
        const std::size_t myPlace = place.at(mine->second);
        const auto own = ownTopLevels();
        std::vector<std::pair<std::size_t, xcb_window_t>> over;
        for (const xcb_window_t window : managed) {
            const auto frame = frameOf_.find(window);
            if (frame != frameOf_.end() && place.at(frame->second) > myPlace &&
                !contains(own, window)) {
                over.emplace_back(place.at(frame->second), window);
            }
        }
        std::sort(over.begin(), over.end());
        for (const auto& [at, window] : over) {
            clients.push_back(window);
            frames.push_back(frameOf_.at(window));
        }
    }

    // The window manager's frame around each client window: its ancestor that is a child of the
    // root window (the client itself under a window manager that does not reparent), or none
    // when the window is gone.
    std::vector<xcb_window_t> framesOf(std::vector<xcb_window_t> windows) {
        std::vector<bool> found(windows.size(), false);
        for (int depth = 0; depth < kDeepestFrame; ++depth) {
            std::vector<std::pair<std::size_t, xcb_query_tree_cookie_t>> questions;
            for (std::size_t i = 0; i < windows.size(); ++i) {
                if (!found[i]) questions.emplace_back(i, xcb_query_tree(connection_, windows[i]));
            }
            if (questions.empty()) break;
            for (const auto& [i, cookie] : questions) {
                const auto tree = answer(connection_, cookie, xcb_query_tree_reply);
                if (!tree) {
                    windows[i] = XCB_NONE;
                    found[i] = true;
                } else if (tree->parent == root_) {
                    found[i] = true;
                } else {
                    windows[i] = tree->parent;
                }
            }
        }
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (!found[i]) windows[i] = XCB_NONE;
        }
        return windows;
    }

    // Where each window's frame lies, whether the window is in the "above" layer and whether it
    // is another monitor, asked all at once; nothing for a window that is gone.
    std::vector<std::optional<StackedWindow>> describe(const std::vector<xcb_window_t>& clients,
                                                       const std::vector<xcb_window_t>& frames) {
        struct Questions {
            xcb_get_geometry_cookie_t geometry;
            xcb_get_property_cookie_t state;
            xcb_get_property_cookie_t windowClass;
        };
        std::vector<Questions> questions;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            questions.push_back(
                {xcb_get_geometry(connection_, frames[i]),
                 askProperty(connection_, clients[i], atoms_[kWmState], XCB_ATOM_ATOM),
                 askProperty(connection_, clients[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)});
        }
        std::vector<std::optional<StackedWindow>> described;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const auto geometry =
                answer(connection_, questions[i].geometry, xcb_get_geometry_reply);
            const auto state = answer(connection_, questions[i].state, xcb_get_property_reply);
            const auto named =
                answer(connection_, questions[i].windowClass, xcb_get_property_reply);
            if (frames[i] == XCB_NONE || !geometry) {
                described.emplace_back();
                continue;
            }
            const auto states = propertyValues<xcb_atom_t>(state.get());
            // A child of the root window: its place is on the screen.
            const int border = 2 * geometry->border_width;
            described.push_back(StackedWindow{
                clients[i],
                QRect(geometry->x, geometry->y, geometry->width + border,
                      geometry->height + border),
                std::find(states.begin(), states.end(), atoms_[kWmStateAbove]) != states.end(),
                std::find(states.begin(), states.end(), atoms_[kWmStateFullscreen]) != states.end(),
                !ownClass_.empty() && windowClass(named.get()) == ownClass_});
        }
        return described;
    }

    // Hears of changes of the layer of the windows over this one, and of no other windows:
    // moves and restacks come through the root window. The window's own events are Qt's.
    void watch(const std::vector<xcb_window_t>& clients) {
        std::vector<xcb_window_t> over(std::next(clients.begin()), clients.end());
        for (const xcb_window_t window : clientsOver_) {
            if (!contains(over, window)) listen(window, 0);
        }
        for (const xcb_window_t window : over) {
            if (!contains(clientsOver_, window)) listen(window, XCB_EVENT_MASK_PROPERTY_CHANGE);
        }
        clientsOver_ = std::move(over);
    }

    void listen(xcb_window_t window, std::uint32_t mask) {
        // Another program's window may be gone by now; that is no failure worth a report.
        const auto cookie =
            xcb_change_window_attributes_checked(connection_, window, XCB_CW_EVENT_MASK, &mask);
        xcb_discard_reply(connection_, cookie.sequence);
    }

    // Under focus-follows-mouse a restack that slides the window under a resting pointer reads
    // as a hover, and the window manager hands it the keyboard focus (xfwm4, mutter, metacity).
    // So the window waits while the pointer lies where it would come over another window.
    bool pointerWhereRestackingWouldMoveIt() {
        const auto pointer =
            answer(connection_, xcb_query_pointer(connection_, root_), xcb_query_pointer_reply);
        if (!pointer || pointer->same_screen == 0) return false;
        const QPoint at(pointer->root_x, pointer->root_y);
        return std::any_of(overlaps_.begin(), overlaps_.end(),
                           [&at](const QRect& overlap) { return overlap.contains(at); });
    }

    // The last request counts as answered when the window it asked to come over no longer lies
    // over this one; else as one more unanswered.
    void judgeLastRequest() {
        if (!pending_) return;
        auto& unanswered = unanswered_[pending_->way];
        unanswered = contains(clientsOver_, pending_->over) ? unanswered + 1 : 0;
        pending_.reset();
    }

    std::optional<Way> firstWayLeft() const {
        static constexpr std::array kManaged{kRestackMessage, kSiblingRequest, kSinkCovering};
        static constexpr std::array kBare{kPlainRestack};
        const auto left = [this](Way way) {
            return unanswered_[way] < kUnansweredBeforeRefused &&
                   (way != kRestackMessage || managerRestacks_);
        };
        const auto ways = bare() ? std::span<const Way>(kBare) : std::span<const Way>(kManaged);
        const auto way = std::find_if(ways.begin(), ways.end(), left);
        return way != ways.end() ? std::optional<Way>(*way) : std::nullopt;
    }

    // A window manager that refuses a request may flag the window as demanding attention
    // instead (marco, for the sibling request): the flag goes, and so does that way of asking.
    void dropAttention() {
        const auto state =
            answer(connection_, askProperty(connection_, window_, atoms_[kWmState], XCB_ATOM_ATOM),
                   xcb_get_property_reply);
        const auto states = propertyValues<xcb_atom_t>(state.get());
        if (std::find(states.begin(), states.end(), atoms_[kWmStateDemandsAttention]) ==
            states.end()) {
            return;
        }
        if (pending_) unanswered_[pending_->way] = kUnansweredBeforeRefused;
        sendToWindowManager(aboutThisWindow(
            kWmState, {kRemoveState, atoms_[kWmStateDemandsAttention], 0, kSourcePager, 0}));
    }

    // An EWMH client message about this window to the window manager.
    xcb_client_message_event_t aboutThisWindow(Atom type,
                                               const std::array<std::uint32_t, 5>& data) const {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window_;
        message.type = atoms_[type];
        std::copy(data.begin(), data.end(), std::begin(message.data.data32));
        return message;
    }

    void ask(Way way, xcb_window_t covering) {
        switch (way) {
            case kRestackMessage:
                sendToWindowManager(aboutThisWindow(
                    kRestackWindow, {kSourcePager, covering, XCB_STACK_MODE_ABOVE, 0, 0}));
                break;
            case kSiblingRequest:
                sendToWindowManager(restackRequest(window_, covering, XCB_STACK_MODE_ABOVE));
                break;
            case kSinkCovering:
                sendToWindowManager(restackRequest(covering, window_, XCB_STACK_MODE_BELOW));
                break;
            case kPlainRestack: {
                const std::array<std::uint32_t, 2> values{covering, XCB_STACK_MODE_ABOVE};
                // The covering window may be gone by now.
                const auto cookie = xcb_configure_window_checked(
                    connection_, window_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE,
                    values.data());
                xcb_discard_reply(connection_, cookie.sequence);
                break;
            }
            case kWayCount:
                break;
        }
    }

    // The synthetic ConfigureRequest that ICCCM prescribes for restacking a reparented window
    // relative to a sibling (XReconfigureWMWindow's).
    xcb_configure_request_event_t restackRequest(xcb_window_t window, xcb_window_t sibling,
                                                 std::uint8_t mode) const {
        xcb_configure_request_event_t request{};
        request.response_type = XCB_CONFIGURE_REQUEST;
        request.stack_mode = mode;
        request.parent = root_;
        request.window = window;
        request.sibling = sibling;
        request.value_mask = XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE;
        return request;
    }

    template <typename Event>
    void sendToWindowManager(const Event& event) {
        // xcb_send_event sends 32 bytes whatever the event's own size.
        std::array<char, 32> bytes{};
        static_assert(sizeof(Event) <= bytes.size());
        std::memcpy(bytes.data(), &event, sizeof event);
        xcb_send_event(connection_, 0, root_,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       bytes.data());
    }

    xcb_connection_t* connection_;
    xcb_window_t window_;
    xcb_window_t root_ = XCB_NONE;
    std::array<xcb_atom_t, kAtomCount> atoms_{};
    std::string ownClass_;
    bool stale_ = true;
    bool attentionToCheck_ = true;
    bool managerRestacks_ = false;
    // The running window manager's own window, or none.
    xcb_window_t windowManager_ = XCB_NONE;
    // The topmost window that this one comes back over, if any, and where this one would come
    // over other windows in doing so.
    xcb_window_t covering_ = XCB_NONE;
    std::vector<QRect> overlaps_;
    // How many times in a row each way went unanswered, and the request not yet judged.
    std::array<int, kWayCount> unanswered_{};
    std::optional<Request> pending_;
    // The windows over this one, whose layer it listens for.
    std::vector<xcb_window_t> clientsOver_;
    // The frame around each managed window, as far as known.
    std::unordered_map<xcb_window_t, xcb_window_t> frameOf_;
};

KeepTopmost::KeepTopmost(QWidget& window) : window_(window) {}

KeepTopmost::~KeepTopmost() {
    if (x11_) QCoreApplication::instance()->removeNativeEventFilter(this);
}

void KeepTopmost::keep() noexcept {
    try {
        if (!attached_) {
            // At the first tick the window is on screen, and so has its native window.
            attached_ = true;
            const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
            // Qt's other platforms (offscreen) have no stacking to keep.
            if (QGuiApplication::platformName() != QLatin1String("xcb") || x11 == nullptr) return;
            x11_ = std::make_unique<X11>(x11->connection(),
                                         static_cast<xcb_window_t>(window_.winId()));
            QCoreApplication::instance()->installNativeEventFilter(this);
        }
        if (x11_) x11_->keep();
    } catch (const std::bad_alloc&) {
        // Out of memory: the window stays where it is until a later tick.
    }
}

bool KeepTopmost::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (x11_ && eventType == "xcb_generic_event_t") {
        x11_->notice(*static_cast<const xcb_generic_event_t*>(message));
    }
    return false;  // Qt handles every event as well
}

}  // namespace viewer
