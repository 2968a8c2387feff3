// Input focus, window names and the pointer grab on X11.
#include "platform/x11/X11Foreground.h"

#include "overlay/OverlayWindow.h"

#include <QGuiApplication>

#include <cstring>

namespace tolva {

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto reply = xreply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : XCB_NONE;
}

std::optional<std::string> stringProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property) {
    auto reply = xreply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) <= 0)
        return std::nullopt;
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       xcb_get_property_value_length(reply.get()));
}

} // namespace

X11Foreground::X11Foreground(std::shared_ptr<XConnection> x11, std::function<bool(xcb_window_t)> isOurs)
    : x11_(std::move(x11)), isOurs_(std::move(isOurs)) {}

xcb_window_t X11Foreground::focusedTopLevel() {
    xcb_connection_t* c = x11_->get();
    // A window manager names the active window; without one, the focus itself tells. A name
    // left behind by a window manager that is gone points at nothing viewable and is ignored.
    if (auto active = stringProperty(c, x11_->root(), atom(c, "_NET_ACTIVE_WINDOW"));
        active && active->size() >= 4) {
        xcb_window_t w;
        std::memcpy(&w, active->data(), 4);
        if (w != XCB_NONE && isViewable(w))
            return w;
    }
    auto focus = xreply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT)
        return XCB_NONE;
    // Walk up to the child of the root.
    xcb_window_t w = focus->focus;
    for (int depth = 0; depth < 32; ++depth) {
        auto tree = xreply(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
        if (!tree || tree->parent == tree->root || tree->parent == XCB_NONE)
            break;
        w = tree->parent;
    }
    return w;
}

std::optional<std::string> X11Foreground::nameOf(xcb_window_t window) {
    if (window == XCB_NONE)
        return std::nullopt;
    xcb_connection_t* c = x11_->get();
    // WM_CLASS holds "instance\0Class\0": the class is the application's name.
    if (auto wmClass = stringProperty(c, window, XCB_ATOM_WM_CLASS)) {
        auto first = wmClass->find('\0');
        if (first != std::string::npos && first + 1 < wmClass->size()) {
            std::string name = wmClass->substr(first + 1);
            if (auto end = name.find('\0'); end != std::string::npos)
                name.resize(end);
            if (!name.empty())
                return name;
        }
    }
    if (auto title = stringProperty(c, window, XCB_ATOM_WM_NAME))
        return title;
    return std::nullopt;
}

std::optional<std::string> X11Foreground::frontmostName() {
    const xcb_window_t w = focusedTopLevel();
    if (w != XCB_NONE && isOurs_(w))
        return std::string("Tolva Screen");
    return nameOf(w);
}

bool X11Foreground::isViewable(xcb_window_t window) {
    xcb_connection_t* c = x11_->get();
    auto attributes =
        xreply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

void X11Foreground::rememberFrontmost() {
    const xcb_window_t w = focusedTopLevel();
    if (w == XCB_NONE || isOurs_(w))
        return;
    remembered_ = w;
    rememberedName_ = nameOf(w);
}

void X11Foreground::forgetRemembered() {
    remembered_ = XCB_NONE;
    rememberedName_.reset();
}

void X11Foreground::bringToFront(OverlayWindow* window) {
    if (!window)
        return;
    window->raise();
    window->activateWindow();
    window->overlayView()->setFocus();
    const auto id = static_cast<xcb_window_t>(window->winId());
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(x11_->get(), id, XCB_CONFIG_WINDOW_STACK_MODE, above);
    // When the overlay goes, the focus falls back to the pointer's window. Reverting to the parent
    // would land it on the composite overlay window and, once that goes too, on nothing: with
    // no window manager to step in, no key would reach anyone, the global shortcut included.
    xcb_set_input_focus(x11_->get(), XCB_INPUT_FOCUS_POINTER_ROOT, id, XCB_CURRENT_TIME);
    x11_->flush();
}

bool X11Foreground::isActive() {
    auto focus = xreply(xcb_get_input_focus_reply(x11_->get(), xcb_get_input_focus(x11_->get()), nullptr));
    return focus && focus->focus != XCB_NONE && isOurs_(focus->focus);
}

bool X11Foreground::handBack() {
    if (remembered_ == XCB_NONE)
        return false;
    // Qt may still have a focus request of its own for an overlay window on its way: let the
    // server finish Qt's requests first, or the focus could land on a window that is going.
    if (auto* x11App = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* qt = x11App->connection();
        xreply(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
    }
    xcb_connection_t* c = x11_->get();
    if (!isViewable(remembered_))
        return false;
    auto error = xreply(xcb_request_check(
        c, xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_POINTER_ROOT, remembered_, XCB_CURRENT_TIME)));
    return !error;
}

void X11Foreground::setKiosk(bool on) {
    // The overlay already covers every display and holds the keyboard; a pointer grab from this
    // connection would take the pointer events away from the overlay windows themselves.
    kiosk_ = on;
}

} // namespace tolva
