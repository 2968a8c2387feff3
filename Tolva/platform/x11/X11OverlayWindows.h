// Owns the overlay windows: one per display, built from one content record, torn down at
// unlock, kept above every other window while they are up.
#pragma once

#include "TolvaCore/DisplayLayout.h"
#include "overlay/Displays.h"
#include "overlay/OverlayWindow.h"
#include "overlay/OverlayWindows.h"
#include "platform/Scheduler.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

struct xcb_connection_t;

namespace tolva {

class XConnection;
class ServerPicture;

class X11OverlayWindows : public OverlayWindows {
public:
    // `x11` may be null (no X server: nothing watches the stacking order). `captureBackdrop`
    // supplies the picture a live tint is drawn over when no compositing manager runs.
    X11OverlayWindows(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                      std::shared_ptr<XConnection> x11 = nullptr,
                      std::function<QImage(const DisplayInfo&)> captureBackdrop = nullptr);
    ~X11OverlayWindows() override;

    void build(const OverlayContent& content) override;
    void tearDown() override;

    const std::vector<std::unique_ptr<OverlayWindow>>& windows() const override { return windows_; }
    const DisplayLayout& layout() const override { return layout_; }
    DisplayLayout currentLayout() const override;

    // The window whose display contains the point (core coordinates, y up), if any.
    OverlayWindow* window(Point under) const override;
    // The window on the primary display, else the first; none without windows.
    OverlayWindow* mainWindow() const override;

    // Whether an overlay of a program that is gone still covers the screen (its windows outlive
    // it): the next start takes the lock back before anything else.
    static bool coverLeftBehind(XConnection& x11);

    // The copies of the screen kept between locks, read back (tests: they hold nothing of it).
    std::vector<QImage> keptScreenPictures() const;

    // Whether a compositing manager owns _NET_WM_CM_S0 (translucent windows show the screen).
    bool hasCompositor() const;
    // Whether the X server draws the overlay's background (colour, pictures, effects).
    bool drawsInServer() const { return surfacesAvailable_; }
    // Draws everything in this program instead, as where the server cannot (tests compare both).
    void drawInClient() { surfacesAvailable_ = false; }
    // Scales and sends the user's picture (`identity` from ImageStore) to the server for every
    // display now, so that a lock that shows it has nothing left to do.
    void prepareImage(const QImage& image, const std::string& identity);
    // Makes the windows of the next lock now, native and unmapped, for the displays as they are
    // (`liveTint`: the translucent kind when a compositor runs), so that the lock only maps them.
    void prepare(bool liveTint);
    // Whether that picture is on the server for every display as they are now.
    bool holdsImage(const std::string& identity) const;
    // Puts every overlay window back on top at once (also done whenever another window moves).
    void raiseAll();

    // (onDisplaysChanged is looked at once a second besides what Qt reports, since a change of
    // the server's monitor list alone reaches no client as an event.)

    // Counters for tests and benchmarks: how often the cover was put back.
    struct Repairs {
        int remapped = 0;
        int moved = 0;
        int raised = 0;
    };
    const Repairs& repairs() const { return repairs_; }

private:
    // The user's picture on the server, scaled for each display size.
    struct ServerImage {
        std::string identity;
        QSize view;
        std::shared_ptr<ServerPicture> picture;
        std::shared_ptr<ServerPicture> atRest; // cut to the display, as a lock first shows it
    };
    // `keepMapped`: the windows stay on screen as spares for the build that follows at once.
    void removeWindows(bool keepMapped = false);
    bool handleEvent(const void* event);
    void ownWindowChanged(std::size_t index, std::uint8_t type, const void* event);
    bool overlayIsOnTop() const;
    // Puts the windows back on top: `raise` at once, and in any case after the events that came
    // in now if another window is above them.
    void restackSoon(bool raise);
    // Another client's override-redirect window was mapped or restacked.
    void noteRestack(std::uint32_t window);
    std::optional<std::size_t> indexOf(std::uint32_t window) const;
    void watchWindow(OverlayWindow& window);
    void dropPictures(OverlayWindow& window);
    void releaseNativeWindows();
    void rebuildSoon();
    xcb_connection_t* qtConnection() const;
    static QRect nativeGeometry(const OverlayWindow& window, const QRect& logical);
    std::shared_ptr<ServerPicture> serverImage(const QImage& image, QSize view, const std::string& identity);
    const ServerImage* heldImage(const std::string& identity, QSize view) const;
    void attachSurface(OverlayWindow& window);
    void detachSurface(OverlayWindow& window);
    bool handleSurfaceEvent(std::uint8_t type, const void* event);

    Scheduler& scheduler_;
    std::shared_ptr<DisplaySource> displays_;
    std::shared_ptr<XConnection> x11_;
    std::function<QImage(const DisplayInfo&)> captureBackdrop_;
    std::vector<std::unique_ptr<OverlayWindow>> windows_;
    // Windows of the last overlay, hidden: the next build reuses those that fit its displays,
    // which saves creating native windows while the user waits for the overlay.
    std::vector<std::unique_ptr<OverlayWindow>> spare_;
    // Windows of the last build that are still on screen while a rebuild puts up their successors.
    std::set<OverlayWindow*> stillMapped_;
    std::vector<DisplayInfo> builtDisplays_;
    DisplayLayout layout_;
    std::uint64_t listener_ = 0;
    Scheduler::Handle safetyNet_;
    Scheduler::Handle rebuild_;
    Scheduler::Handle restack_;
    bool raisedInThisTurn_ = false;
    static constexpr int maxRestacksPerSecond = 20;
    std::map<std::uint32_t, int> restacks_;
    std::set<std::uint32_t> silenced_; // windows that fought the overlay, hidden until the unlock
    Scheduler::Handle releaseTask_;
    // Spare windows whose native window (and backing store) goes once the unlock is done.
    std::set<OverlayWindow*> releasePending_;
    bool loggedBackdropChoice_ = false;
    static std::uint32_t coverAtom(XConnection& x11);
    std::uint32_t bypassCompositor_ = 0; // the _NET_WM_BYPASS_COMPOSITOR atom
    std::uint32_t coverAtom_ = 0;        // the root window's mark of a cover that is up
    // Overlay windows whose native window another client destroyed while they were up.
    std::set<std::uint32_t> destroyed_;
    Repairs repairs_;
    bool surfacesAvailable_ = false;
    // The screen as it was when this lock began, per display: taken once, kept for rebuilds.
    std::map<std::uint32_t, std::shared_ptr<ServerPicture>> screenPictures_;
    // The copies of the last lock, wiped once it ended, for the next lock to copy into.
    std::map<std::uint32_t, std::shared_ptr<ServerPicture>> spareScreenPictures_;
    Scheduler::Handle wipeTask_;
    // A spare copy of the display's size, with the screen copied into it when `copy`.
    std::shared_ptr<ServerPicture> reusedScreenPicture(const DisplayInfo& display, bool copy);
    std::vector<ServerImage> serverImages_;
};

} // namespace tolva
