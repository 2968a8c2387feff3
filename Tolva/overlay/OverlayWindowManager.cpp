// Building, tearing down and guarding the stacking order of the overlay windows.
#include "overlay/OverlayWindowManager.h"

#include "app/Log.h"
#include "platform/x11/XConnection.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <set>

namespace tolva {

OverlayWindowManager::OverlayWindowManager(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                                           std::shared_ptr<XConnection> x11,
                                           std::function<QImage(const DisplayInfo&)> captureBackdrop)
    : scheduler_(scheduler), displays_(std::move(displays)), x11_(std::move(x11)),
      captureBackdrop_(std::move(captureBackdrop)) {
    if (x11_) {
        // Every map and restack of a top-level window is a chance that something covers us.
        const std::uint32_t mask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_change_window_attributes(x11_->get(), x11_->root(), XCB_CW_EVENT_MASK, mask);
        x11_->flush();
        listener_ =
            x11_->addListener([this](const xcb_generic_event_t& event) { return stackingChanged(&event); });
    }
}

OverlayWindowManager::~OverlayWindowManager() {
    tearDown();
    if (x11_)
        x11_->removeListener(listener_);
}

bool OverlayWindowManager::hasCompositor() const {
    if (!x11_)
        return true; // not X11: let the platform decide
    xcb_connection_t* c = x11_->get();
    const char name[] = "_NET_WM_CM_S0";
    auto atom = xreply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr));
    if (!atom)
        return false;
    auto owner = xreply(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

void OverlayWindowManager::build(const OverlayContent& content) {
    removeWindows(); // a rebuild within one lock: the backdrop choice was already told
    builtDisplays_ = displays_->displays();
    const bool translucent = content.isTranslucent && hasCompositor();
    const bool tintOverBackdrop = content.isTranslucent && !translucent;
    if (tintOverBackdrop && !loggedBackdropChoice_) {
        Log::lock.info("no compositing manager: live tint drawn over a snapshot taken at lock time");
        loggedBackdropChoice_ = true;
    }
    for (const auto& display : builtDisplays_) {
        std::optional<std::uint32_t> id;
        if (display.id != 0)
            id = display.id;
        std::unique_ptr<OverlayWindow> window;
        for (auto it = spare_.begin(); it != spare_.end(); ++it) {
            if ((*it)->geometry() == display.geometry && (*it)->isTranslucent() == translucent &&
                (*it)->displayID() == id) {
                window = std::move(*it);
                spare_.erase(it);
                break;
            }
        }
        if (!window) {
            window = std::make_unique<OverlayWindow>(scheduler_, display.geometry, translucent, id);
            if (display.screen)
                window->setScreen(display.screen);
            window->setGeometry(display.geometry);
        }
        window->overlayView()->setBackdrop(QImage());
        if (tintOverBackdrop && captureBackdrop_)
            window->overlayView()->setBackdrop(captureBackdrop_(display));
        window->overlayView()->apply(content, id);
        window->overlayView()->startAnimations(content.animations, content.tuning, 1.0);
        window->show();
        window->raise();
        windows_.push_back(std::move(window));
    }
    spare_.clear(); // windows for displays that are gone
    if (x11_) {
        // Qt's map requests go out before our restacking, without waiting for a round of events.
        if (auto* x11App = qApp->nativeInterface<QNativeInterface::QX11Application>())
            xcb_flush(x11App->connection());
        raiseAll();
        safetyNet_ = scheduler_.every(Seconds(1), [this] {
            if (!overlayIsOnTop())
                raiseAll();
        });
    }
    layout_ = layoutOf(builtDisplays_);
    bool hasSnapshot = !content.snapshots.empty();
    Log::lock.info("overlay windows: " + std::to_string(windows_.size()) +
                   " snapshot=" + (hasSnapshot ? "true" : "false") +
                   " translucent=" + (content.isTranslucent ? "true" : "false") +
                   " animations=" + quotedList(content.animations) + " " + layout_.logDescription());
}

void OverlayWindowManager::tearDown() {
    removeWindows();
    loggedBackdropChoice_ = false;
}

void OverlayWindowManager::removeWindows() {
    safetyNet_.cancel();
    for (auto& window : windows_) {
        window->overlayView()->stopAnimations();
        window->overlayView()->hidePanel(false);
        window->hide();
        window->overlayView()->onPointerInput = nullptr;
        window->overlayView()->onKey = nullptr;
        spare_.push_back(std::move(window));
    }
    windows_.clear();
    builtDisplays_.clear();
    layout_ = DisplayLayout();
}

DisplayLayout OverlayWindowManager::currentLayout() const {
    return layoutOf(displays_->displays());
}

OverlayWindow* OverlayWindowManager::window(Point under) const {
    // In the core's y-up frames, whose far edges are open, like the displays they describe.
    const DisplayLayout frames = layoutOf(builtDisplays_);
    for (std::size_t i = 0; i < windows_.size() && i < builtDisplays_.size(); ++i) {
        const QRect g = builtDisplays_[i].geometry;
        for (const auto& entry : frames.entries())
            if (entry.id == builtDisplays_[i].id && entry.frame.x == g.x() &&
                entry.frame.width == g.width() && entry.frame.height == g.height() &&
                entry.frame.contains(under))
                return windows_[i].get();
    }
    return nullptr;
}

OverlayWindow* OverlayWindowManager::mainWindow() const {
    if (windows_.empty())
        return nullptr;
    for (std::size_t i = 0; i < windows_.size() && i < builtDisplays_.size(); ++i)
        if (builtDisplays_[i].primary)
            return windows_[i].get();
    return windows_.front().get();
}

bool OverlayWindowManager::overlayIsOnTop() const {
    if (!x11_ || windows_.empty())
        return true;
    xcb_connection_t* c = x11_->get();
    auto tree = xreply(xcb_query_tree_reply(c, xcb_query_tree(c, x11_->root()), nullptr));
    if (!tree)
        return true;
    std::set<xcb_window_t> ours;
    for (const auto& window : windows_)
        ours.insert(static_cast<xcb_window_t>(window->winId()));
    // Children are listed bottom to top: after the lowest of ours, only ours may follow.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    bool seenOurs = false;
    for (int i = 0; i < count; ++i) {
        if (ours.count(children[i])) {
            seenOurs = true;
            continue;
        }
        if (!seenOurs)
            continue;
        auto attributes =
            xreply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
            return false;
    }
    return true;
}

void OverlayWindowManager::raiseAll() {
    if (!x11_)
        return;
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    for (const auto& window : windows_)
        xcb_configure_window(x11_->get(), static_cast<xcb_window_t>(window->winId()),
                             XCB_CONFIG_WINDOW_STACK_MODE, above);
    x11_->flush();
}

bool OverlayWindowManager::stackingChanged(const void* opaque) {
    const auto& event = *static_cast<const xcb_generic_event_t*>(opaque);
    if (windows_.empty())
        return false;
    const std::uint8_t type = event.response_type & 0x7F;
    xcb_window_t window = XCB_NONE;
    if (type == XCB_MAP_NOTIFY)
        window = reinterpret_cast<const xcb_map_notify_event_t&>(event).window;
    else if (type == XCB_CONFIGURE_NOTIFY)
        window = reinterpret_cast<const xcb_configure_notify_event_t&>(event).window;
    else
        return false;
    for (const auto& ours : windows_)
        if (static_cast<xcb_window_t>(ours->winId()) == window)
            return false;
    if (!overlayIsOnTop())
        raiseAll();
    return false;
}

} // namespace tolva
