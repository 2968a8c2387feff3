// Building, tearing down and guarding the stacking order of the overlay windows.
#include "platform/x11/X11OverlayWindows.h"

#include "log/Log.h"
#include "platform/x11/X11OverlaySurface.h"
#include "platform/x11/XConnection.h"

#include <xcb/shape.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <set>

#include <unistd.h>

namespace tolva {

namespace {

// The drawing inside an overlay window: only X11 surfaces are ever attached here.
X11OverlaySurface* x11Surface(const OverlayWindow& window) {
    return static_cast<X11OverlaySurface*>(window.overlayView()->surface());
}

// A display's frame in the X server's pixels.
QRect pixelRect(const DisplayInfo& display) {
    const qreal ratio = display.screen ? display.screen->devicePixelRatio() : 1.0;
    const QRect& g = display.geometry;
    return QRect(QPoint(qRound(g.x() * ratio), qRound(g.y() * ratio)),
                 QSize(qRound(g.width() * ratio), qRound(g.height() * ratio)));
}

} // namespace

X11OverlayWindows::X11OverlayWindows(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                                     std::shared_ptr<XConnection> x11,
                                     std::function<QImage(const DisplayInfo&)> captureBackdrop)
    : scheduler_(scheduler), displays_(std::move(displays)), x11_(std::move(x11)),
      captureBackdrop_(std::move(captureBackdrop)) {
    if (x11_) {
        // Every map, move and restack of a top-level window is a chance that something covers us.
        x11_->selectEvents(x11_->root(), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
        if (xcb_connection_t* qt = qtConnection()) {
            const xcb_query_extension_reply_t* shape = xcb_get_extension_data(qt, &xcb_shape_id);
            surfacesAvailable_ = shape && shape->present && RenderFormats::of(qt);
        }
        listener_ =
            x11_->addListener([this](const xcb_generic_event_t& event) { return handleEvent(&event); });
        xcb_connection_t* c = x11_->get();
        const char name[] = "_NET_WM_BYPASS_COMPOSITOR";
        if (auto atom =
                xreply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr)))
            bypassCompositor_ = atom->atom;
        coverAtom_ = coverAtom(*x11_);
    }
}

X11OverlayWindows::~X11OverlayWindows() {
    tearDown();
    if (x11_)
        x11_->removeListener(listener_);
}

std::uint32_t X11OverlayWindows::coverAtom(XConnection& x11) {
    xcb_connection_t* c = x11.get();
    const char name[] = "_TOLVA_SCREEN_COVER";
    auto atom = xreply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr));
    return atom ? atom->atom : XCB_NONE;
}

bool X11OverlayWindows::coverLeftBehind(XConnection& x11) {
    const xcb_atom_t atom = coverAtom(x11);
    if (atom == XCB_NONE)
        return false;
    xcb_connection_t* c = x11.get();
    auto reply = xreply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, x11.root(), atom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    return reply && xcb_get_property_value_length(reply.get()) == 4;
}

bool X11OverlayWindows::hasCompositor() const {
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

void X11OverlayWindows::build(const OverlayContent& content) {
    // A rebuild within one lock (the displays changed, a window was lost) leaves the windows
    // that still cover mapped until the new ones are up: no display goes bare meanwhile.
    removeWindows(/*keepMapped=*/true);
    builtDisplays_ = displays_->displays();
    const bool composited = hasCompositor();
    const bool translucent = content.isTranslucent && composited;
    const bool tintOverBackdrop = content.isTranslucent && !translucent;
    if (tintOverBackdrop && !loggedBackdropChoice_) {
        Log::lock.info("no compositing manager: live tint drawn over a snapshot taken at lock time");
        loggedBackdropChoice_ = true;
    }
    // Displays whose window shows the screen beneath it as it maps, and copies it only then.
    std::set<std::uint32_t> takenAfterMapping;
    if (surfacesAvailable_ && (content.captureInServer || tintOverBackdrop)) {
        // The screen as it is, for every display (a rebuild within the lock keeps the first
        // copy). Without a compositing manager a window with no background shows it already,
        // and the copy is made from there once the windows are up; with one, it is copied inside
        // the server before any window of ours goes up.
        for (const auto& display : builtDisplays_)
            if (!screenPictures_.count(display.id)) {
                auto picture = reusedScreenPicture(display, /*copy=*/composited);
                if (!picture)
                    picture = composited ? ServerPicture::fromScreen(qtConnection(), pixelRect(display))
                                         : std::make_shared<ServerPicture>(qtConnection(),
                                                                           pixelRect(display).size(), false);
                if (!composited)
                    takenAfterMapping.insert(display.id);
                screenPictures_[display.id] = std::move(picture);
            }
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
                releasePending_.erase(window.get()); // in use again: its native window stays
                break;
            }
        }
        if (!window) {
            window = std::make_unique<OverlayWindow>(scheduler_, display.geometry, translucent, id);
            if (display.screen)
                window->setScreen(display.screen);
            window->setGeometry(display.geometry);
        }
        OverlayView* view = window->overlayView();
        view->setBackdrop(QImage());
        if (surfacesAvailable_) {
            attachSurface(*window);
            if (takenAfterMapping.count(display.id))
                x11Surface(*window)->showScreenBeneath();
        } else if (tintOverBackdrop && captureBackdrop_)
            view->setBackdrop(captureBackdrop_(display));
        view->apply(content, id);
        if (view->surface()) {
            const QSize pixels = view->surface()->size();
            if (auto it = screenPictures_.find(display.id); it != screenPictures_.end()) {
                view->setScreenPicture(it->second, tintOverBackdrop, /*tinted=*/tintOverBackdrop);
            } else if (!translucent) {
                if (auto* held = heldImage(content.imageIdentity, pixels))
                    view->setServerImage(held->picture, held->atRest);
                else if (!content.picture(id).isNull())
                    view->setServerImage(serverImage(content.picture(id), pixels, content.imageIdentity));
            }
        }
        window->overlayView()->startAnimations(content.animations, content.tuning, 1.0);
        windows_.push_back(std::move(window));
    }
    xcb_connection_t* qt = x11_ ? qtConnection() : nullptr;
    const bool drawnByServer = qt && surfacesAvailable_;
    if (drawnByServer) {
        // The server paints each window from its drawing the moment it is mapped: every window
        // is mapped now, on top, before Qt shows them, which takes it a while per window.
        for (const auto& window : windows_)
            watchWindow(*window);
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        for (const auto& window : windows_) {
            xcb_map_window(qt, static_cast<xcb_window_t>(window->winId()));
            xcb_configure_window(qt, static_cast<xcb_window_t>(window->winId()), XCB_CONFIG_WINDOW_STACK_MODE,
                                 above);
        }
        xcb_flush(qt);
    }
    // The windows are up, showing the screen: the tint goes over it on every display, and
    // then it is copied from there (the root's pixels are the windows', which nothing else has
    // drawn into since they mapped) into the pictures they show from now on.
    for (std::size_t i = 0; i < windows_.size(); ++i)
        if (tintOverBackdrop && takenAfterMapping.count(builtDisplays_[i].id))
            x11Surface(*windows_[i])->tintScreenBeneath(content.tintColour());
    for (std::size_t i = 0; i < windows_.size(); ++i)
        if (takenAfterMapping.count(builtDisplays_[i].id)) {
            screenPictures_[builtDisplays_[i].id]->copyScreen(pixelRect(builtDisplays_[i]));
            x11Surface(*windows_[i])->endScreenBeneath();
        }
    if (qt) {
        // Should this program die or its connection be killed while the overlay is up, its
        // windows stay where they are, still covering (the guard holds the keyboard meanwhile),
        // and the root window says so, for the next start of the program to take the lock back.
        // What a program before this one left behind that way goes now that these windows cover.
        xcb_set_close_down_mode(qt, XCB_CLOSE_DOWN_RETAIN_TEMPORARY);
        xcb_kill_client(qt, XCB_KILL_ALL_TEMPORARY);
        if (coverAtom_ != XCB_NONE) {
            const std::uint32_t pid = std::uint32_t(::getpid());
            xcb_change_property(qt, XCB_PROP_MODE_REPLACE, x11_->root(), coverAtom_, XCB_ATOM_CARDINAL, 32, 1,
                                &pid);
        }
        xcb_flush(qt);
    }
    for (const auto& window : windows_) {
        window->show();
        window->raise();
        if (!drawnByServer)
            watchWindow(*window);
    }
    // Only now do the windows of the last build that found no display go.
    if (qt) {
        for (const auto& window : spare_)
            if (stillMapped_.count(window.get()) && window->internalWinId())
                xcb_unmap_window(qt, static_cast<xcb_window_t>(window->winId()));
        xcb_flush(qt);
    }
    stillMapped_.clear();
    spare_.clear(); // windows for displays that are gone
    releasePending_.clear();
    if (x11_) {
        // Qt's map requests go out before our restacking, without waiting for a round of events.
        if (qt)
            xcb_flush(qt);
        raiseAll();
        // The overlay windows are ordinary top-level windows that every compositing manager
        // paints in stacking order, and every map, move and restack of another window puts
        // them back on top at once. They are looked at once a second besides: a missed event
        // must not leave one below.
        safetyNet_ = scheduler_.every(Seconds(1), [this] {
            restacks_.clear();
            if (!overlayIsOnTop())
                raiseAll();
            if (onDisplaysChanged && currentLayout() != layout_)
                onDisplaysChanged();
        });
    }
    layout_ = layoutOf(builtDisplays_);
    bool hasSnapshot = !content.snapshots.empty() || (content.captureInServer && !screenPictures_.empty());
    Log::lock.info("overlay windows: " + std::to_string(windows_.size()) +
                   " snapshot=" + (hasSnapshot ? "true" : "false") +
                   " translucent=" + (content.isTranslucent ? "true" : "false") +
                   " animations=" + quotedList(content.animations) + " " + layout_.logDescription());
}

void X11OverlayWindows::tearDown() {
    removeWindows();
    if (x11_ && !silenced_.empty()) {
        // Windows hidden for fighting the overlay come back as they were.
        for (std::uint32_t window : silenced_)
            xcb_map_window(x11_->get(), window);
        x11_->flush();
    }
    silenced_.clear();
    restacks_.clear();
    if (xcb_connection_t* qt = x11_ ? qtConnection() : nullptr) {
        // Unlocked: a death from now on takes its windows with it, and no cover that a dead
        // program or guard left behind outlives the overlay.
        xcb_set_close_down_mode(qt, XCB_CLOSE_DOWN_DESTROY_ALL);
        xcb_kill_client(qt, XCB_KILL_ALL_TEMPORARY);
        if (coverAtom_ != XCB_NONE)
            xcb_delete_property(qt, x11_->root(), coverAtom_);
        xcb_flush(qt);
    }
    // The copies of the screen are kept for the next lock, wiped: a new picture of that size
    // costs the server several times the copy itself. (Only after this unlock is through.)
    for (auto& [id, picture] : screenPictures_)
        if (picture)
            spareScreenPictures_[id] = std::move(picture);
    screenPictures_.clear();
    wipeTask_ = scheduler_.schedule(Seconds(0), [this] {
        for (auto& [id, picture] : spareScreenPictures_)
            picture->wipe();
        if (xcb_connection_t* qt = x11_ ? qtConnection() : nullptr)
            xcb_flush(qt);
    });
    loggedBackdropChoice_ = false;
}

std::shared_ptr<ServerPicture> X11OverlayWindows::reusedScreenPicture(const DisplayInfo& display, bool copy) {
    auto spare = spareScreenPictures_.find(display.id);
    if (spare == spareScreenPictures_.end())
        return nullptr;
    std::shared_ptr<ServerPicture> picture = std::move(spare->second);
    spareScreenPictures_.erase(spare);
    const QRect region = pixelRect(display);
    if (picture.use_count() != 1 || picture->size() != region.size())
        return nullptr; // still shown somewhere, or the display changed: a new one
    if (copy)
        picture->copyScreen(region);
    return picture;
}

std::vector<QImage> X11OverlayWindows::keptScreenPictures() const {
    std::vector<QImage> images;
    for (const auto& [id, picture] : spareScreenPictures_)
        images.push_back(picture->read(QRect(QPoint(0, 0), picture->size())));
    return images;
}

void X11OverlayWindows::removeWindows(bool keepMapped) {
    safetyNet_.cancel();
    // The overlay goes at once, a request a window; Qt's bookkeeping and the rest follow.
    xcb_connection_t* qt = x11_ ? qtConnection() : nullptr;
    if (qt && !keepMapped) {
        for (const auto& window : windows_)
            if (window->internalWinId())
                xcb_unmap_window(qt, static_cast<xcb_window_t>(window->winId()));
        xcb_flush(qt);
    }
    for (auto& window : windows_) {
        window->overlayView()->stopAnimations();
        window->overlayView()->hidePanel(false);
        window->overlayView()->onPointerInput = nullptr;
        window->overlayView()->onKey = nullptr;
        if (window->internalWinId() &&
            destroyed_.count(static_cast<std::uint32_t>(window->internalWinId()))) {
            // Another client destroyed its native window: Qt would go on drawing into nothing,
            // so this one is let go of and the next build makes a new one.
            detachSurface(*window);
            if (x11_)
                x11_->forgetWindow(static_cast<xcb_window_t>(window->internalWinId()));
            window.reset();
            continue;
        }
        if (keepMapped && qt) {
            // Still covering until build() has mapped what replaces it (maybe this very window).
            stillMapped_.insert(window.get());
        } else {
            window->hide();
            dropPictures(*window);
        }
        spare_.push_back(std::move(window));
    }
    destroyed_.clear();
    windows_.clear();
    builtDisplays_.clear();
    layout_ = DisplayLayout();
    if (!releasePending_.empty())
        releaseTask_ = scheduler_.schedule(Seconds(0), [this] { releaseNativeWindows(); });
}

void X11OverlayWindows::rebuildSoon() {
    // On the next turn of the loop: never from inside the event that told of the loss.
    if (onWindowLost)
        rebuild_ = scheduler_.schedule(Seconds(0), [this] {
            if (onWindowLost && !windows_.empty())
                onWindowLost();
        });
}

void X11OverlayWindows::releaseNativeWindows() {
    releaseTask_.cancel();
    for (const auto& window : spare_) {
        if (!releasePending_.count(window.get()) || !window->internalWinId())
            continue;
        detachSurface(*window);
        if (x11_)
            x11_->forgetWindow(static_cast<xcb_window_t>(window->internalWinId()));
        window->releaseNativeWindow();
    }
    releasePending_.clear();
}

xcb_connection_t* X11OverlayWindows::qtConnection() const {
    auto* x11App = qApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11App ? x11App->connection() : nullptr;
}

void X11OverlayWindows::dropPictures(OverlayWindow& window) {
    // Nothing of the screen outlives the overlay: the view lets go of its pictures, and a window
    // that showed one loses its native window and with it the backing store that still holds
    // the last frame. Where the server draws, every window does so: its backing store is a
    // screen-sized buffer that the next lock does not need (prepare() makes fresh windows).
    // (The native window goes a moment later, once the unlock is done.)
    const bool showedPicture = window.overlayView()->clearPictures();
    if ((showedPicture || surfacesAvailable_) && window.internalWinId())
        releasePending_.insert(&window);
}

void X11OverlayWindows::prepare(bool liveTint) {
    if (!windows_.empty() || !surfacesAvailable_)
        return;             // a lock is up, or nothing to gain
    releaseNativeWindows(); // what the last lock drew in goes before fresh windows come
    const bool translucent = liveTint && hasCompositor();
    const auto displays = displays_->displays();
    // Windows for displays that are gone are let go of.
    std::erase_if(spare_, [&](const std::unique_ptr<OverlayWindow>& window) {
        return std::none_of(displays.begin(), displays.end(),
                            [&](const DisplayInfo& d) { return d.geometry == window->geometry(); });
    });
    for (const auto& display : displays) {
        std::optional<std::uint32_t> id;
        if (display.id != 0)
            id = display.id;
        auto it = std::find_if(spare_.begin(), spare_.end(), [&](const std::unique_ptr<OverlayWindow>& w) {
            return w->geometry() == display.geometry && w->isTranslucent() == translucent &&
                   w->displayID() == id;
        });
        if (it == spare_.end()) {
            spare_.push_back(std::make_unique<OverlayWindow>(scheduler_, display.geometry, translucent, id));
            it = std::prev(spare_.end());
            if (display.screen)
                (*it)->setScreen(display.screen);
            (*it)->setGeometry(display.geometry);
        }
        // The native window and the server's drawing inside it, unmapped until a lock shows them.
        (*it)->winId();
        attachSurface(**it);
    }
    if (xcb_connection_t* qt = qtConnection())
        xcb_flush(qt);
}

void X11OverlayWindows::attachSurface(OverlayWindow& window) {
    OverlayView* view = window.overlayView();
    const QSize pixels = nativeGeometry(window, window.geometry()).size();
    if (view->surface() && view->surface()->size() == pixels)
        return;
    detachSurface(window);
    // Qt's window exists on the server before its child: both are made on Qt's connection.
    const auto parent = static_cast<xcb_window_t>(window.winId());
    view->attachSurface(
        std::make_unique<X11OverlaySurface>(qtConnection(), parent, pixels, window.isTranslucent()));
}

void X11OverlayWindows::detachSurface(OverlayWindow& window) {
    if (auto* surface = x11Surface(window); surface && x11_)
        x11_->forgetWindow(surface->window());
    window.overlayView()->detachSurface();
}

void X11OverlayWindows::prepareImage(const QImage& image, const std::string& identity) {
    if (!surfacesAvailable_ || image.isNull() || identity.empty())
        return;
    for (const auto& display : displays_->displays())
        serverImage(image, pixelRect(display).size(), identity);
}

bool X11OverlayWindows::holdsImage(const std::string& identity) const {
    if (!surfacesAvailable_ || identity.empty())
        return false;
    for (const auto& display : displays_->displays())
        if (!heldImage(identity, pixelRect(display).size()))
            return false;
    return true;
}

const X11OverlayWindows::ServerImage* X11OverlayWindows::heldImage(const std::string& identity,
                                                                   QSize view) const {
    if (identity.empty())
        return nullptr;
    for (const auto& entry : serverImages_)
        if (entry.identity == identity && entry.view == view)
            return &entry;
    return nullptr;
}

std::shared_ptr<ServerPicture> X11OverlayWindows::serverImage(const QImage& image, QSize view,
                                                              const std::string& identity) {
    if (auto* held = heldImage(identity, view))
        return held->picture;
    // Scaled here once, as smoothly as before, then kept on the server for every later lock.
    const QRect placed = OverlayView::pictureRectFor(image.size(), view, true);
    auto picture = ServerPicture::fromImage(
        qtConnection(), image.scaled(placed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    if (!identity.empty() && picture) {
        // And cut to the display as a lock first shows it, so that showing it is drawing nothing.
        auto atRest = std::make_shared<ServerPicture>(qtConnection(), view, false);
        const QPoint at = OverlayView::centred(placed.size(), view); // where the view places it
        xcb_render_composite(
            qtConnection(), XCB_RENDER_PICT_OP_SRC, picture->picture(), XCB_NONE, atRest->picture(),
            static_cast<std::int16_t>(-at.x()), static_cast<std::int16_t>(-at.y()), 0, 0, 0, 0,
            static_cast<std::uint16_t>(view.width()), static_cast<std::uint16_t>(view.height()));
        // One picture per display size; another picture replaces them all.
        std::erase_if(serverImages_,
                      [&](const ServerImage& e) { return e.identity != identity || e.view == view; });
        serverImages_.push_back({identity, view, picture, atRest});
    }
    return picture;
}

void X11OverlayWindows::watchWindow(OverlayWindow& window) {
    if (!x11_)
        return;
    // A compositing manager may take a window that fills a monitor out of composition and let
    // the server draw it straight to the screen; when such a window goes, the last picture it
    // drew can stay there. Ours are asked to be composited like any other.
    if (bypassCompositor_ != XCB_NONE) {
        const std::uint32_t never = 2;
        xcb_change_property(x11_->get(), XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window.winId()),
                            bypassCompositor_, XCB_ATOM_CARDINAL, 32, 1, &never);
    }
    // Unmapping, moving, resizing or destroying an overlay window, focus leaving it, and the
    // end of another client's grab (focus and crossing events in "ungrab" mode) all show here.
    x11_->selectEvents(static_cast<xcb_window_t>(window.winId()),
                       XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE |
                           XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW);
    // The drawing inside it: exposures are drawn again, and it is put back if another client
    // unmaps or moves it (Qt's window below holds nothing of the screen either way).
    if (auto* surface = x11Surface(window))
        x11_->selectEvents(surface->window(), XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_EXPOSURE);
}

bool X11OverlayWindows::handleSurfaceEvent(std::uint8_t type, const void* opaque) {
    const auto window = [&]() -> xcb_window_t {
        switch (type) {
        case XCB_EXPOSE:
            return static_cast<const xcb_expose_event_t*>(opaque)->window;
        case XCB_UNMAP_NOTIFY:
            return static_cast<const xcb_unmap_notify_event_t*>(opaque)->window;
        case XCB_CONFIGURE_NOTIFY:
            return static_cast<const xcb_configure_notify_event_t*>(opaque)->window;
        case XCB_REPARENT_NOTIFY:
            return static_cast<const xcb_reparent_notify_event_t*>(opaque)->window;
        case XCB_DESTROY_NOTIFY:
            return static_cast<const xcb_destroy_notify_event_t*>(opaque)->window;
        default:
            return XCB_NONE;
        }
    }();
    if (window == XCB_NONE)
        return false;
    for (const auto& ours : windows_) {
        X11OverlaySurface* surface = x11Surface(*ours);
        if (!surface || surface->window() != window)
            continue;
        xcb_connection_t* qt = qtConnection();
        const auto parent = static_cast<xcb_window_t>(ours->winId());
        switch (type) {
        case XCB_EXPOSE:
            if (static_cast<const xcb_expose_event_t*>(opaque)->count == 0) {
                surface->redraw();
                xcb_flush(qt);
            }
            break;
        case XCB_DESTROY_NOTIFY: {
            // Qt's window still covers the display (it holds nothing of the screen); the drawing
            // is made again with the windows.
            Log::lock.error("overlay drawing destroyed by another client, building the windows again");
            auto gone = ours->overlayView()->detachSurface();
            x11_->forgetWindow(window);
            gone.reset(); // its requests fail harmlessly: the window is gone
            rebuildSoon();
            break;
        }
        case XCB_UNMAP_NOTIFY:
            Log::lock.error("overlay drawing unmapped by another client, mapping it again");
            ++repairs_.remapped;
            xcb_map_window(qt, window);
            xcb_flush(qt);
            break;
        case XCB_REPARENT_NOTIFY:
        case XCB_CONFIGURE_NOTIFY: {
            auto geometry = xreply(xcb_get_geometry_reply(qt, xcb_get_geometry(qt, window), nullptr));
            auto tree = xreply(xcb_query_tree_reply(qt, xcb_query_tree(qt, window), nullptr));
            if (geometry && tree && tree->parent == parent && geometry->x == 0 && geometry->y == 0 &&
                geometry->width == surface->size().width() && geometry->height == surface->size().height())
                break;
            Log::lock.error("overlay drawing moved by another client, putting it back");
            ++repairs_.moved;
            if (tree && tree->parent != parent)
                xcb_reparent_window(qt, window, parent, 0, 0);
            const std::uint32_t values[] = {0, 0, std::uint32_t(surface->size().width()),
                                            std::uint32_t(surface->size().height()), XCB_STACK_MODE_BELOW};
            xcb_configure_window(qt, window,
                                 XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                     XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_STACK_MODE,
                                 values);
            xcb_map_window(qt, window);
            xcb_flush(qt);
            break;
        }
        default:
            break;
        }
        return true;
    }
    return false;
}

DisplayLayout X11OverlayWindows::currentLayout() const {
    return layoutOf(displays_->displays());
}

OverlayWindow* X11OverlayWindows::window(Point under) const {
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

OverlayWindow* X11OverlayWindows::mainWindow() const {
    if (windows_.empty())
        return nullptr;
    for (std::size_t i = 0; i < windows_.size() && i < builtDisplays_.size(); ++i)
        if (builtDisplays_[i].primary)
            return windows_[i].get();
    return windows_.front().get();
}

bool X11OverlayWindows::overlayIsOnTop() const {
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

void X11OverlayWindows::raiseAll() {
    if (!x11_)
        return;
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    for (const auto& window : windows_)
        xcb_configure_window(x11_->get(), static_cast<xcb_window_t>(window->winId()),
                             XCB_CONFIG_WINDOW_STACK_MODE, above);
    ++repairs_.raised;
    x11_->flush();
}

QRect X11OverlayWindows::nativeGeometry(const OverlayWindow& window, const QRect& logical) {
    const qreal ratio = window.devicePixelRatioF();
    return QRect(QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
                 QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
}

std::optional<std::size_t> X11OverlayWindows::indexOf(std::uint32_t window) const {
    for (std::size_t i = 0; i < windows_.size(); ++i)
        if (windows_[i]->internalWinId() && static_cast<std::uint32_t>(windows_[i]->winId()) == window)
            return i;
    return std::nullopt;
}

void X11OverlayWindows::ownWindowChanged(std::size_t index, std::uint8_t type, const void* opaque) {
    OverlayWindow& ours = *windows_[index];
    const auto id = static_cast<xcb_window_t>(ours.winId());
    xcb_connection_t* c = x11_->get();
    switch (type) {
    case XCB_UNMAP_NOTIFY: {
        // Reparenting unmaps and maps a window again at once; only a window that stays
        // unmapped was unmapped by someone else.
        auto attributes =
            xreply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, id), nullptr));
        if (attributes && attributes->map_state != XCB_MAP_STATE_UNMAPPED)
            break;
        Log::lock.error("overlay window unmapped by another client, mapping it again");
        ++repairs_.remapped;
        xcb_map_window(c, id);
        raiseAll();
        break;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto& reparent = *static_cast<const xcb_reparent_notify_event_t*>(opaque);
        if (reparent.parent == x11_->root()) {
            // Taken out and put back on the root elsewhere: back to its display.
            const QRect want = nativeGeometry(
                ours, index < builtDisplays_.size() ? builtDisplays_[index].geometry : ours.geometry());
            if (reparent.x != want.x() || reparent.y != want.y()) {
                Log::lock.error("overlay window moved by another client, putting it back");
                ++repairs_.moved;
                const std::uint32_t values[] = {std::uint32_t(want.x()), std::uint32_t(want.y()),
                                                XCB_STACK_MODE_ABOVE};
                xcb_configure_window(
                    c, id, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_STACK_MODE, values);
                xcb_map_window(c, id);
                x11_->flush();
            }
            break;
        }
        // An old move of our own (windows are moved out at unlock and back in at the next
        // lock) may be reported after a newer one: only a window that is elsewhere now counts.
        auto tree = xreply(xcb_query_tree_reply(c, xcb_query_tree(c, id), nullptr));
        if (!tree || tree->parent == x11_->root())
            break;
        Log::lock.error("overlay window moved to another parent by another client, putting it back");
        ++repairs_.moved;
        const QRect g = nativeGeometry(ours, index < builtDisplays_.size() ? builtDisplays_[index].geometry
                                                                           : ours.geometry());
        xcb_reparent_window(c, id, x11_->root(), std::int16_t(g.x()), std::int16_t(g.y()));
        xcb_map_window(c, id);
        raiseAll();
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& configure = *static_cast<const xcb_configure_notify_event_t*>(opaque);
        const QRect want = nativeGeometry(ours, index < builtDisplays_.size() ? builtDisplays_[index].geometry
                                                                              : ours.geometry());
        if (configure.x != want.x() || configure.y != want.y() || configure.width != want.width() ||
            configure.height != want.height()) {
            Log::lock.error("overlay window moved by another client, putting it back");
            ++repairs_.moved;
            const std::uint32_t values[] = {std::uint32_t(want.x()), std::uint32_t(want.y()),
                                            std::uint32_t(want.width()), std::uint32_t(want.height()),
                                            XCB_STACK_MODE_ABOVE};
            xcb_configure_window(c, id,
                                 XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                     XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_STACK_MODE,
                                 values);
            x11_->flush();
        } else {
            restackSoon(false); // perhaps lowered or restacked below another window
        }
        break;
    }
    case XCB_CIRCULATE_NOTIFY:
        restackSoon(false);
        break;
    case XCB_DESTROY_NOTIFY:
        Log::lock.error("overlay window destroyed by another client, building the windows again");
        destroyed_.insert(id);
        rebuildSoon();
        break;
    default:
        break;
    }
}

bool X11OverlayWindows::handleEvent(const void* opaque) {
    const auto& event = *static_cast<const xcb_generic_event_t*>(opaque);
    if (windows_.empty())
        return false;
    const std::uint8_t type = event.response_type & 0x7F;
    if (handleSurfaceEvent(type, &event))
        return false;
    switch (type) {
    case XCB_FOCUS_IN:
    case XCB_FOCUS_OUT: {
        const auto& focus = reinterpret_cast<const xcb_focus_in_event_t&>(event);
        if (!indexOf(focus.event))
            return false;
        if (focus.mode == XCB_NOTIFY_MODE_UNGRAB) {
            if (onGrabReleased)
                onGrabReleased();
        } else if (type == XCB_FOCUS_OUT && focus.mode != XCB_NOTIFY_MODE_GRAB &&
                   focus.detail != XCB_NOTIFY_DETAIL_INFERIOR) {
            // Taken to another window, not just moved inside ours or covered by a grab.
            auto now =
                xreply(xcb_get_input_focus_reply(x11_->get(), xcb_get_input_focus(x11_->get()), nullptr));
            if (!now || !indexOf(now->focus)) {
                if (onFocusLost)
                    onFocusLost();
            }
        }
        return false;
    }
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY: {
        const auto& crossing = reinterpret_cast<const xcb_enter_notify_event_t&>(event);
        if (crossing.mode == XCB_NOTIFY_MODE_UNGRAB && indexOf(crossing.event) && onGrabReleased)
            onGrabReleased();
        return false;
    }
    case XCB_UNMAP_NOTIFY: {
        const auto& unmap = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
        // Selected twice (on the window and on the root): act on the copy sent to the window.
        if (unmap.event == unmap.window)
            if (auto i = indexOf(unmap.window))
                ownWindowChanged(*i, type, &event);
        return false;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto& reparent = reinterpret_cast<const xcb_reparent_notify_event_t&>(event);
        if (reparent.event == reparent.window)
            if (auto i = indexOf(reparent.window))
                ownWindowChanged(*i, type, &event);
        return false;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto& destroy = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        if (destroy.event == destroy.window)
            if (auto i = indexOf(destroy.window))
                ownWindowChanged(*i, type, &event);
        return false;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (auto i = indexOf(configure.window)) {
            if (configure.event == configure.window)
                ownWindowChanged(*i, type, &event);
            return false;
        }
        if (configure.event == x11_->root() && configure.override_redirect)
            noteRestack(configure.window);
        break;
    }
    case XCB_CIRCULATE_NOTIFY: {
        const auto& circulate = reinterpret_cast<const xcb_circulate_notify_event_t&>(event);
        if (auto i = indexOf(circulate.window)) {
            if (circulate.event == circulate.window)
                ownWindowChanged(*i, type, &event);
            return false;
        }
        break;
    }
    case XCB_MAP_NOTIFY: {
        const auto& map = reinterpret_cast<const xcb_map_notify_event_t&>(event);
        if (indexOf(map.window))
            return false;
        if (map.event == x11_->root() && map.override_redirect)
            noteRestack(map.window);
        break;
    }
    default:
        return false;
    }
    // Another window was mapped, moved or restacked: ours go back on top.
    restackSoon(true);
    return false;
}

void X11OverlayWindows::noteRestack(std::uint32_t window) {
    // A window outside any window manager's care that keeps putting itself on top would win as
    // often as it lost; once it has done so many times within a second, it is taken off the
    // screen until the overlay goes, and put back then.
    if (silenced_.count(window) || ++restacks_[window] < maxRestacksPerSecond)
        return;
    silenced_.insert(window);
    Log::lock.error(
        "a window of another client keeps raising itself above the overlay; hidden until the unlock");
    xcb_unmap_window(x11_->get(), window);
    x11_->flush();
}

void X11OverlayWindows::restackSoon(bool raise) {
    // The first event that shows another window on the move puts ours back on top at once; the
    // rest that came in with it change nothing more, and once they are all read, one look at the
    // stacking order settles it (a window that raises itself again and again sends many events,
    // and answering each with a look would leave us ever further behind).
    if (raise && !raisedInThisTurn_) {
        raiseAll();
        raisedInThisTurn_ = true;
    }
    if (restack_.isActive())
        return;
    restack_ = scheduler_.schedule(Seconds(0), [this] {
        raisedInThisTurn_ = false;
        if (!windows_.empty() && !overlayIsOnTop())
            raiseAll();
        // The look read replies, and with them whatever events came in meanwhile, into xcb's
        // queue, where the socket no longer announces them: they are handled now, not when the
        // loop next runs dry.
        x11_->dispatchPending();
    });
}

} // namespace tolva
