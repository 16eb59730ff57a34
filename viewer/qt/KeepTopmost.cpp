// X11: how the window comes back over a window made "above" after it, and why never by a raise.
//
// A plain raise (ConfigureWindow with only a stack mode, what QWidget::raise() sends) is read
// differently by each window manager: xfwm4 activates the window, so it takes the keyboard focus;
// mutter and metacity refuse it while another application is active and mark the window as
// demanding attention; icewm honours it but marks it too. Instead the window asks to be restacked
// just over the window that covers it:
// - through _NET_RESTACK_WINDOW with the source indication of a pager, where the window manager
//   lists it as supported (openbox, icewm, metacity, mutter; all but icewm ignore it from an
//   ordinary application);
// - elsewhere (xfwm4) through the synthetic ConfigureRequest with a sibling that ICCCM prescribes
//   for restacking a reparented window (XReconfigureWMWindow's).
// Neither activates the window nor sets its user time, which would steer the window manager's
// focus decisions.
#include "viewer/qt/KeepTopmost.h"

#include <xcb/xcb.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
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
#include <string_view>
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
    kAtomCount
};
constexpr std::array<std::string_view, kAtomCount> kAtomNames = {
    "_NET_CLIENT_LIST_STACKING", "_NET_SUPPORTED", "_NET_RESTACK_WINDOW", "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE"};

// EWMH's source indication of a pager, a client acting on the user's direct wish.
constexpr std::uint32_t kSourcePager = 2;
constexpr std::uint32_t kLongListLength = 4096;
// Client window, the window manager's frame around it and perhaps a window between: deeper
// nesting is no frame.
constexpr int kDeepestFrame = 8;

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

// What the window manager shows of one client window: its frame on the screen and whether it
// is in the "above" layer.
struct StackedWindow {
    xcb_window_t id;
    QRect frame;
    bool above;
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
        const std::uint32_t mask =
            (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    }

    // Marks what it learns stale when the stacking changes, or the place of the window or of a
    // window over it, or the layer of one over it. The frames tell of moves: some window managers
    // (metacity) move a frame without telling its client.
    void notice(const xcb_generic_event_t& event) {
        switch (event.response_type & 0x7f) {
            case XCB_PROPERTY_NOTIFY: {
                const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(event);
                if (change.window == root_) {
                    stale_ = stale_ || change.atom == atoms_[kClientListStacking] ||
                             change.atom == atoms_[kSupported];
                } else {
                    stale_ = stale_ || (change.atom == atoms_[kWmState] &&
                                        contains(clientsOver_, change.window));
                }
                break;
            }
            case XCB_CONFIGURE_NOTIFY: {
                const auto& moved = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
                stale_ = stale_ || moved.window == window_ || contains(frames_, moved.window);
                break;
            }
            default:
                break;
        }
    }

    void keep() {
        if (stale_) {
            stale_ = false;
            study();
        }
        if (covering_ != XCB_NONE) askToBeRestackedOver(covering_);
        xcb_flush(connection_);
    }

  private:
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

    // Reads the stacking list and the windows over this one, and finds the topmost "above" window
    // among them that covers part of it.
    void study() {
        const auto stackingCookie =
            askProperty(connection_, root_, atoms_[kClientListStacking], XCB_ATOM_WINDOW);
        const auto supportedCookie =
            askProperty(connection_, root_, atoms_[kSupported], XCB_ATOM_ATOM);
        const ReplyPtr<xcb_get_property_reply_t> stackingReply(
            xcb_get_property_reply(connection_, stackingCookie, nullptr));
        const ReplyPtr<xcb_get_property_reply_t> supportedReply(
            xcb_get_property_reply(connection_, supportedCookie, nullptr));
        const auto supported = propertyValues<xcb_atom_t>(supportedReply.get());
        managerRestacks_ = std::find(supported.begin(), supported.end(), atoms_[kRestackWindow]) !=
                           supported.end();

        // Bottom to top: the windows after this one lie over it.
        const auto stacking = propertyValues<xcb_window_t>(stackingReply.get());
        const auto self = std::find(stacking.begin(), stacking.end(), window_);
        std::vector<xcb_window_t> clients{window_};
        if (self != stacking.end()) {
            const auto own = ownTopLevels();
            std::copy_if(std::next(self), stacking.end(), std::back_inserter(clients),
                         [&own](xcb_window_t window) { return !contains(own, window); });
        }
        const auto frames = framesOf(clients);
        watch(clients, frames);

        covering_ = XCB_NONE;
        if (clients.size() == 1) return;
        const auto described = describe(clients, frames);
        const std::optional<StackedWindow>& mine = described.front();
        if (!mine) return;
        for (auto window = described.rbegin(); window != std::prev(described.rend()); ++window) {
            if (*window && (*window)->above && (*window)->frame.intersects(mine->frame)) {
                covering_ = (*window)->id;
                return;
            }
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

    // Where each window's frame lies and whether the window is in the "above" layer, asked all
    // at once; nothing for a window that is gone.
    std::vector<std::optional<StackedWindow>> describe(const std::vector<xcb_window_t>& clients,
                                                       const std::vector<xcb_window_t>& frames) {
        std::vector<std::pair<xcb_get_geometry_cookie_t, xcb_get_property_cookie_t>> questions;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            questions.emplace_back(
                xcb_get_geometry(connection_, frames[i]),
                askProperty(connection_, clients[i], atoms_[kWmState], XCB_ATOM_ATOM));
        }
        std::vector<std::optional<StackedWindow>> described;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const auto geometry = answer(connection_, questions[i].first, xcb_get_geometry_reply);
            const auto state = answer(connection_, questions[i].second, xcb_get_property_reply);
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
                std::find(states.begin(), states.end(), atoms_[kWmStateAbove]) != states.end()});
        }
        return described;
    }

    // Hears of the moves of the frames of this window and of those over it, and of changes of
    // the layer of those over it; of no other windows. The window's own events are Qt's.
    void watch(const std::vector<xcb_window_t>& clients, const std::vector<xcb_window_t>& frames) {
        std::vector<std::pair<xcb_window_t, std::uint32_t>> masks;
        const auto add = [&masks, this](xcb_window_t window, std::uint32_t mask) {
            if (window == XCB_NONE || window == window_) return;
            const auto known = findWindow(masks, window);
            if (known == masks.end()) {
                masks.emplace_back(window, mask);
            } else {
                known->second |= mask;
            }
        };
        for (std::size_t i = 0; i < clients.size(); ++i) {
            add(clients[i], XCB_EVENT_MASK_PROPERTY_CHANGE);
            add(frames[i], XCB_EVENT_MASK_STRUCTURE_NOTIFY);
        }
        for (const auto& [window, mask] : listening_) {
            if (findWindow(masks, window) == masks.end()) listen(window, 0);
        }
        for (const auto& entry : masks) {
            if (std::find(listening_.begin(), listening_.end(), entry) == listening_.end()) {
                listen(entry.first, entry.second);
            }
        }
        listening_ = std::move(masks);
        clientsOver_.assign(std::next(clients.begin()), clients.end());
        frames_ = frames;
    }

    static std::vector<std::pair<xcb_window_t, std::uint32_t>>::iterator findWindow(
        std::vector<std::pair<xcb_window_t, std::uint32_t>>& masks, xcb_window_t window) {
        return std::find_if(masks.begin(), masks.end(),
                            [window](const auto& entry) { return entry.first == window; });
    }

    void listen(xcb_window_t window, std::uint32_t mask) {
        // Another program's window may be gone by now; that is no failure worth a report.
        const auto cookie =
            xcb_change_window_attributes_checked(connection_, window, XCB_CW_EVENT_MASK, &mask);
        xcb_discard_reply(connection_, cookie.sequence);
    }

    void askToBeRestackedOver(xcb_window_t sibling) {
        // xcb_send_event sends 32 bytes whatever the event's own size.
        std::array<char, 32> event{};
        if (managerRestacks_) {
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = window_;
            message.type = atoms_[kRestackWindow];
            message.data.data32[0] = kSourcePager;
            message.data.data32[1] = sibling;
            message.data.data32[2] = XCB_STACK_MODE_ABOVE;
            std::memcpy(event.data(), &message, sizeof message);
        } else {
            xcb_configure_request_event_t request{};
            request.response_type = XCB_CONFIGURE_REQUEST;
            request.stack_mode = XCB_STACK_MODE_ABOVE;
            request.parent = root_;
            request.window = window_;
            request.sibling = sibling;
            request.value_mask = XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE;
            std::memcpy(event.data(), &request, sizeof request);
        }
        xcb_send_event(connection_, 0, root_,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       event.data());
    }

    xcb_connection_t* connection_;
    xcb_window_t window_;
    xcb_window_t root_ = XCB_NONE;
    std::array<xcb_atom_t, kAtomCount> atoms_{};
    bool stale_ = true;
    bool managerRestacks_ = false;
    // The topmost "above" window that covers part of this one, if any.
    xcb_window_t covering_ = XCB_NONE;
    // The windows over this one, their frames and this one's, and what it listens for on each.
    std::vector<xcb_window_t> clientsOver_;
    std::vector<xcb_window_t> frames_;
    std::vector<std::pair<xcb_window_t, std::uint32_t>> listening_;
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
