// Overlay windows and screen capture on the real X server of the test session (two monitors,
// LEFT and RIGHT, 1920 × 1080 each).
#include "log/Log.h"
#include "platform/QtScheduler.h"
#include "platform/fake/FakeScheduler.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11OverlaySurface.h"
#include "platform/x11/X11OverlayWindows.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XConnection.h"
#include "support/ChildProcess.h"
#include "support/QtWidgetsApp.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <regex>
#include <thread>

using namespace tolva;
using namespace std::chrono_literals;

namespace {

// The application exists before the fixture's scheduler, whose timer needs its event loop.
struct WithApplication {
    WithApplication() { test::widgetsApp(false); }
};

struct OverlayX11 : WithApplication, ::testing::Test {
    void SetUp() override {
        x11 = XConnection::open();
        ASSERT_TRUE(x11);
        displays = std::make_shared<X11DisplaySource>(x11);
        ASSERT_EQ(displays->displays().size(), 2u) << "the test display has two monitors";
    }

    // A plain window of another client, filling `area`, in `pixel` colour.
    xcb_window_t paint(const QRect& area, std::uint32_t pixel, bool overrideRedirect = true) {
        xcb_connection_t* c = x11->get();
        xcb_window_t w = xcb_generate_id(c);
        const std::uint32_t values[] = {pixel, overrideRedirect ? 1u : 0u};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, x11->root(), area.x(), area.y(), area.width(),
                          area.height(), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, w);
        xcb_clear_area(c, 0, w, 0, 0, 0, 0);
        x11->flush();
        sync();
        return w;
    }
    void sync() {
        xreply(xcb_get_input_focus_reply(x11->get(), xcb_get_input_focus(x11->get()), nullptr));
        // Events that came in with the reply are in xcb's queue, where no socket notifier sees them.
        x11->dispatchPending();
        test::pumpEvents(50ms);
        x11->dispatchPending();
    }
    // Fraction of pixels in `image` equal to `rgb`, on a coarse grid.
    static double share(const QImage& image, QRgb rgb) {
        int total = 0, same = 0;
        for (int y = 0; y < image.height(); y += 7)
            for (int x = 0; x < image.width(); x += 7, ++total)
                same += (image.pixel(x, y) & 0xFFFFFF) == (rgb & 0xFFFFFF);
        return total ? double(same) / total : 0;
    }

    std::shared_ptr<XConnection> x11;
    std::shared_ptr<X11DisplaySource> displays;
    QtScheduler scheduler;
};

} // namespace

TEST_F(OverlayX11, CapturesEveryDisplayWithItsOwnPicture) {
    ScopedLogCapture log;
    auto left = paint(QRect(0, 0, 1920, 1080), 0xFF0000);
    auto right = paint(QRect(1920, 0, 1920, 1080), 0x0000FF);
    ScreenSnapshotter snapshotter(scheduler, displays, std::make_shared<X11ScreenCapture>(),
                                  [] { return true; });
    std::optional<Snapshots> result;
    snapshotter.captureAll(Seconds(2), [&](Snapshots s) { result = std::move(s); });
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }, 5s));
    ASSERT_EQ(result->size(), 2u);
    auto list = displays->displays();
    const QImage& a = result->at(list[0].id);
    const QImage& b = result->at(list[1].id);
    EXPECT_EQ(a.size(), QSize(1920, 1080));
    EXPECT_EQ(b.size(), QSize(1920, 1080));
    const bool leftFirst = list[0].geometry.x() == 0;
    EXPECT_GT(share(leftFirst ? a : b, qRgb(255, 0, 0)), 0.99);
    EXPECT_GT(share(leftFirst ? b : a, qRgb(0, 0, 255)), 0.99);
    EXPECT_TRUE(log.messages("lock").back().starts_with("snapshot captured displays=2 in "));
    xcb_destroy_window(x11->get(), left);
    xcb_destroy_window(x11->get(), right);
    x11->flush();
}

TEST_F(OverlayX11, OneWindowPerDisplayWithLayoutAndLogLine) {
    ScopedLogCapture log;
    X11OverlayWindows manager(scheduler, displays, x11);
    OverlayContent content;
    content.background = QColor(255, 0, 255);
    manager.build(content);
    ASSERT_EQ(manager.windows().size(), 2u);
    const auto& entries = manager.layout().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].id, 0u);
    EXPECT_NE(entries[0].id, entries[1].id);
    EXPECT_EQ(manager.layout(), manager.currentLayout());
    const std::regex line(
        R"(overlay windows: 2 snapshot=false translucent=false animations=\[\] \["\d+@(0|1920),0 1920x1080", "\d+@(0|1920),0 1920x1080"\])");
    EXPECT_TRUE(std::regex_match(log.messages("lock").back(), line)) << log.messages("lock").back();

    // Points in y-up core coordinates; both monitors are 1080 high, so y is the same.
    OverlayWindow* right = manager.window(Point{2500, 500});
    ASSERT_NE(right, nullptr);
    EXPECT_EQ(right->geometry().x(), 1920);
    EXPECT_EQ(manager.window(Point{100, 100})->geometry().x(), 0);
    EXPECT_EQ(manager.window(Point{5000, 100}), nullptr) << "outside every display";
    EXPECT_EQ(manager.window(Point{100, 1080}), nullptr) << "the top edge is outside";
    ASSERT_NE(manager.mainWindow(), nullptr);
    EXPECT_EQ(manager.mainWindow()->geometry().topLeft(), QPoint(0, 0)) << "the primary display's window";

    // A rebuild replaces every window.
    std::vector<OverlayWindow*> before;
    for (auto& w : manager.windows())
        before.push_back(w.get());
    manager.build(content);
    EXPECT_EQ(manager.windows().size(), 2u);
    manager.tearDown();
    EXPECT_TRUE(manager.windows().empty());
    EXPECT_TRUE(manager.layout().isEmpty());
    EXPECT_EQ(manager.window(Point{100, 100}), nullptr);
    EXPECT_EQ(manager.mainWindow(), nullptr);
}

TEST_F(OverlayX11, SolidModeCoversEveryPixelAndStaysOnTop) {
    X11OverlayWindows manager(scheduler, displays, x11);
    OverlayContent content;
    content.background = QColor(255, 0, 255);
    manager.build(content);
    ASSERT_TRUE(test::waitUntil([&] {
        return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), qRgb(255, 0, 255)) == 1.0;
    }));

    // A notification-like window of another client appears above.
    auto intruder = paint(QRect(3000, 40, 400, 120), 0x00FF00);
    const auto mapped = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            x11->dispatchPending();
            return share(X11ScreenCapture::captureRegion(QRect(3000, 40, 400, 120)), qRgb(255, 0, 255)) ==
                   1.0;
        },
        2s));
    const auto covered =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - mapped);
    EXPECT_LT(covered.count(), 100) << "covered again only after " << covered.count() << " ms";
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), qRgb(255, 0, 255)), 1.0);
    manager.tearDown();
    xcb_destroy_window(x11->get(), intruder);
    x11->flush();
}

TEST_F(OverlayX11, LiveTintWithoutACompositorIsDrawnOverASnapshot) {
    ScopedLogCapture log;
    auto green = paint(QRect(100, 100, 300, 200), 0x00FF00);
    auto blue = paint(QRect(2100, 100, 300, 200), 0x0000FF);
    X11OverlayWindows manager(scheduler, displays, x11);
    ASSERT_FALSE(manager.hasCompositor()) << "the test display runs no compositing manager";
    ASSERT_TRUE(manager.drawsInServer());
    OverlayContent tint;
    tint.isTranslucent = true;
    tint.background = QColor(255, 0, 0);
    tint.tintAlpha = 0.5;
    // The screen as it was, half covered by red, on each display.
    auto near = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 1 && std::abs(qGreen(a) - qGreen(b)) <= 1 &&
               std::abs(qBlue(a) - qBlue(b)) <= 1;
    };
    auto tinted = [&] {
        const QRgb left = X11ScreenCapture::captureRegion(QRect(200, 150, 1, 1)).pixel(0, 0);
        const QRgb right = X11ScreenCapture::captureRegion(QRect(2200, 150, 1, 1)).pixel(0, 0);
        EXPECT_TRUE(near(left, qRgb(128, 127, 0))) << std::hex << left;
        EXPECT_TRUE(near(right, qRgb(128, 0, 127))) << std::hex << right;
    };
    manager.build(tint);
    sync();
    tinted();
    // What the overlay shows is its own: another window that comes over it and goes leaves the
    // same tinted screen behind, not that window's pixels nor a tint laid on twice.
    auto passing = paint(QRect(150, 120, 2200, 100), 0xFFFF00);
    xcb_destroy_window(x11->get(), passing);
    x11->flush();
    sync();
    tinted();
    manager.build(tint); // a rebuild within the same lock says it once, and keeps the first copy
    sync();
    tinted();
    auto lines = log.messages("lock");
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "no compositing manager: live tint drawn over a snapshot taken at lock time"),
              1);
    EXPECT_FALSE(manager.windows().front()->isTranslucent());
    manager.tearDown();
    xcb_destroy_window(x11->get(), green);
    xcb_destroy_window(x11->get(), blue);
    x11->flush();
}

TEST_F(OverlayX11, NothingOfTheScreenIsKeptAfterTheOverlayIsDismissed) {
    // A snapshot of each display, and a live tint drawn over a captured backdrop.
    X11OverlayWindows manager(scheduler, displays, x11, [&](const DisplayInfo& display) {
        return X11ScreenCapture::captureRegion(display.geometry);
    });
    auto overlayWindows = [] {
        std::vector<OverlayWindow*> found;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = dynamic_cast<OverlayWindow*>(widget))
                found.push_back(window);
        return found;
    };
    auto holdsAPicture = [&] {
        for (OverlayWindow* window : overlayWindows()) {
            if (window->overlayView()->hasPicture() || window->overlayView()->clearPictures())
                return true;
            // A native window's backing store keeps the last frame it drew.
            if (window->testAttribute(Qt::WA_WState_Created) && window->backingStore())
                return true;
        }
        return false;
    };
    OverlayContent snapshot;
    for (const auto& display : displays->displays())
        snapshot.snapshots[display.id] = X11ScreenCapture::captureRegion(display.geometry);
    manager.build(snapshot);
    sync();
    EXPECT_TRUE(manager.windows().front()->overlayView()->hasPicture());
    manager.tearDown();
    sync();
    EXPECT_FALSE(holdsAPicture()) << "a snapshot outlived the overlay";

    OverlayContent tint;
    tint.isTranslucent = true;
    tint.background = QColor(255, 0, 0);
    tint.tintAlpha = 0.5;
    manager.build(tint);
    sync();
    manager.tearDown();
    sync();
    EXPECT_FALSE(holdsAPicture()) << "a captured backdrop outlived the overlay";
    // The server's copies of the screen are kept for the next lock, but hold nothing of it once
    // the unlock is through; the next lock copies the screen into them afresh.
    QCoreApplication::processEvents();
    sync();
    const auto kept = manager.keptScreenPictures();
    EXPECT_EQ(kept.size(), displays->displays().size());
    for (const QImage& copy : kept)
        EXPECT_EQ(share(copy, qRgb(0, 0, 0)), 1.0) << "a copy of the screen outlived the overlay";
    auto marked = paint(QRect(100, 100, 300, 200), 0x00FF00);
    manager.build(tint);
    sync();
    const QRgb tinted = X11ScreenCapture::captureRegion(QRect(200, 150, 1, 1)).pixel(0, 0);
    EXPECT_EQ(qGreen(tinted), 127) << std::hex << tinted << ": not the screen under the tint";
    manager.tearDown();
    xcb_destroy_window(x11->get(), marked);
    x11->flush();

    // Solid windows keep their native windows, ready for the next overlay.
    OverlayContent solid;
    manager.build(solid);
    sync();
    manager.tearDown();
    sync();
    EXPECT_FALSE(overlayWindows().empty());
}

TEST_F(OverlayX11, AnOpaqueOverlayStaysAboveAWindowThatRaisesItself) {
    X11OverlayWindows manager(scheduler, displays, x11);
    OverlayContent solid;
    solid.background = QColor(0, 0, 255);
    manager.build(solid);
    sync();
    // Another client's override-redirect window raised above everything, repeatedly.
    const xcb_window_t intruder = paint(QRect(100, 100, 300, 300), 0x00FF00);
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    for (int i = 0; i < 20; ++i)
        xcb_configure_window(x11->get(), intruder, XCB_CONFIG_WINDOW_STACK_MODE, above);
    sync();
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(QRect(100, 100, 300, 300)), qRgb(0, 0, 255)), 1.0);
    manager.tearDown();
    sync();
    EXPECT_GT(share(X11ScreenCapture::captureRegion(QRect(100, 100, 300, 300)), qRgb(0, 255, 0)), 0.9)
        << "nothing of the overlay stays after it is gone";
    xcb_destroy_window(x11->get(), intruder);
    x11->flush();
}

namespace {

// Fraction of pixels (on a grid) whose channels differ by more than `tolerance`.
double differing(const QImage& a, const QImage& b, int tolerance) {
    int total = 0, off = 0;
    for (int y = 0; y < a.height(); y += 5)
        for (int x = 0; x < a.width(); x += 5, ++total) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            off += std::abs(qRed(p) - qRed(q)) > tolerance || std::abs(qGreen(p) - qGreen(q)) > tolerance ||
                   std::abs(qBlue(p) - qBlue(q)) > tolerance;
        }
    return total ? double(off) / total : 1;
}

QImage testPicture() {
    QImage image(640, 400, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 255 / 639, y * 255 / 399, (x / 40 + y / 40) % 2 ? 230 : 30));
    return image;
}

} // namespace

TEST_F(OverlayX11, TheServerDrawsWhatThisProgramWouldDrawInEveryModeAndEffect) {
    const QRect screen(0, 0, 3840, 1080);
    auto victim = paint(QRect(300, 200, 900, 500), 0x3366CC);
    const OverlayAnimationSet all = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                                     OverlayAnimation::gradientDrift};
    struct Case {
        const char* name;
        OverlayContent content;
        double seconds; // of effects before the picture is compared
        bool panel = false;
        bool prepared = false; // the picture was put on the server before the lock
    };
    std::vector<Case> cases;
    {
        OverlayContent solid;
        solid.background = QColor(16, 18, 24);
        cases.push_back({"solid", solid, 0});
        OverlayContent light = solid;
        light.background = QColor(240, 236, 220);
        light.animations = {OverlayAnimation::breathing, OverlayAnimation::gradientDrift};
        light.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
        cases.push_back({"light colour, strong breathing and drift", light, 3.3});
        OverlayContent image = solid;
        image.sharedImage = testPicture();
        cases.push_back({"image", image, 0});
        cases.push_back({"image made ready before the lock", image, 0, false, true});
        image.animations = all;
        image.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
        cases.push_back({"image, every strong effect", image, 9.1});
        OverlayContent note = solid;
        note.awayNote = "Back in ten minutes";
        note.awayNoteReturnLine = "Back at 10:45";
        note.animations = {OverlayAnimation::breathing};
        note.tuning = OverlayAnimationTuning::tuning(AnimationStrength::medium);
        cases.push_back({"away note over breathing", note, 2.2});
        note.awayNoteStyle = AwayNoteStyle::stickyNote;
        cases.push_back({"sticky note, unlock panel", note, 1.4, true});
        OverlayContent tint;
        tint.isTranslucent = true;
        tint.background = QColor(20, 40, 200);
        tint.tintAlpha = 0.3;
        tint.animations = {OverlayAnimation::breathing, OverlayAnimation::gradientDrift};
        tint.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
        cases.push_back({"tint without a compositor, strong effects", tint, 4.7});
    }
    auto draw = [&](const Case& c, bool inServer) {
        FakeScheduler clock;
        X11OverlayWindows manager(clock, displays, x11, [](const DisplayInfo& display) {
            return X11ScreenCapture::captureRegion(display.geometry);
        });
        if (!inServer)
            manager.drawInClient();
        EXPECT_EQ(manager.drawsInServer(), inServer);
        OverlayContent content = c.content;
        if (c.prepared && inServer) {
            manager.prepareImage(content.sharedImage, "test-picture");
            EXPECT_TRUE(manager.holdsImage("test-picture"));
            content.imageIdentity = "test-picture";
            content.sharedImage = QImage(); // not even decoded
        }
        manager.build(content);
        clock.runDue();
        if (c.panel)
            manager.mainWindow()->overlayView()->showPanel();
        clock.advance(Seconds(c.seconds));
        sync();
        const QImage shown = X11ScreenCapture::captureRegion(screen);
        manager.tearDown();
        sync();
        return shown;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage client = draw(c, false);
        const QImage server = draw(c, true);
        ASSERT_FALSE(client.isNull());
        ASSERT_FALSE(server.isNull());
        EXPECT_LT(differing(client, server, 3), 0.005);
        EXPECT_GT(differing(client, X11ScreenCapture::captureRegion(screen), 3), 0.5) << "the overlay was up";
    }

    // A snapshot is the screen itself, pixel for pixel, until the pixel shift needs a margin.
    const QImage before = X11ScreenCapture::captureRegion(screen);
    FakeScheduler clock;
    X11OverlayWindows manager(clock, displays, x11);
    OverlayContent snapshot;
    snapshot.captureInServer = true;
    manager.build(snapshot);
    const auto moved = paint(QRect(300, 200, 900, 500), 0xFF0000); // the live screen changes below
    clock.advance(Seconds(0)); // the overlay goes back on top of the new window
    sync();
    EXPECT_EQ(differing(before, X11ScreenCapture::captureRegion(screen), 0), 0.0);
    manager.tearDown();
    xcb_destroy_window(x11->get(), moved);
    xcb_destroy_window(x11->get(), victim);
    x11->flush();
}

TEST_F(OverlayX11, TheServersDrawingIsPutBackWhateverAnotherClientDoesToIt) {
    X11OverlayWindows manager(scheduler, displays, x11);
    int rebuilds = 0;
    OverlayContent content;
    content.background = QColor(255, 0, 255);
    manager.onWindowLost = [&] {
        ++rebuilds;
        manager.build(content);
    };
    manager.build(content);
    ASSERT_TRUE(manager.drawsInServer());
    auto covered = [&] {
        return test::waitUntil([&] {
            x11->dispatchPending();
            return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), qRgb(255, 0, 255)) == 1.0;
        });
    };
    ASSERT_TRUE(covered());
    auto drawing = [&] {
        return static_cast<X11OverlaySurface*>(manager.windows().front()->overlayView()->surface())->window();
    };
    xcb_connection_t* c = x11->get();

    xcb_unmap_window(c, drawing());
    x11->flush();
    EXPECT_TRUE(covered()) << "unmapped";
    EXPECT_TRUE(test::waitUntil([&] {
        x11->dispatchPending();
        return manager.repairs().remapped >= 1;
    }));

    const std::uint32_t away[] = {500, 300, 20, 20};
    xcb_configure_window(
        c, drawing(),
        XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, away);
    x11->flush();
    EXPECT_TRUE(covered()) << "moved and shrunk";

    xcb_reparent_window(c, drawing(), x11->root(), 0, 0);
    x11->flush();
    EXPECT_TRUE(covered()) << "taken out of the overlay window";
    EXPECT_TRUE(test::waitUntil([&] {
        x11->dispatchPending();
        auto tree = xreply(xcb_query_tree_reply(c, xcb_query_tree(c, drawing()), nullptr));
        auto geometry = xreply(xcb_get_geometry_reply(c, xcb_get_geometry(c, drawing()), nullptr));
        return tree && geometry &&
               tree->parent == static_cast<xcb_window_t>(manager.windows().front()->winId()) &&
               geometry->x == 0 && geometry->width == 1920;
    })) << "back inside, in place";

    xcb_destroy_window(c, drawing());
    x11->flush();
    EXPECT_TRUE(test::waitUntil([&] {
        x11->dispatchPending();
        return rebuilds == 1;
    }));
    EXPECT_TRUE(covered()) << "destroyed";
    EXPECT_NE(manager.windows().front()->overlayView()->surface(), nullptr);
    manager.tearDown();
}

namespace {

// A compositing manager started for one test, gone with it.
struct Compositor {
    std::string name;
    std::vector<std::string> command;
};

const std::vector<Compositor>& compositors() {
    static const std::vector<Compositor> all = {
        {"no compositing manager", {}},
        {"picom (xrender)", {"picom", "--backend", "xrender", "--config", "/dev/null"}},
        {"picom (glx)", {"picom", "--backend", "glx", "--config", "/dev/null"}},
        {"xcompmgr", {"xcompmgr"}},
        {"xfwm4", {"xfwm4", "--compositor=on", "--sm-client-disable"}},
        {"KWin (X11)", {"kwin_x11", "--replace"}},
        {"mutter (X11)", {"mutter", "--x11", "--replace"}},
        {"marco", {"marco", "--composite", "--replace"}},
    };
    return all;
}

bool installed(const std::string& program) {
    return test::run({"sh", "-c", "command -v " + program + " >/dev/null"}) == 0;
}

} // namespace

// Under every compositing manager: an opaque overlay hides every pixel of a window that keeps
// repainting under it, the pointer brings up input to the overlay as keys do, and nothing of the
// overlay stays once it is gone.
TEST_F(OverlayX11, AnOpaqueOverlayHidesAWindowThatRepaintsUnderEveryCompositor) {
    const QRect area(200, 150, 600, 400);
    for (const Compositor& compositor : compositors()) {
        SCOPED_TRACE(compositor.name);
        X11OverlayWindows manager(scheduler, displays, x11);
        std::optional<test::ChildProcess> running;
        if (!compositor.command.empty()) {
            ASSERT_TRUE(installed(compositor.command.front())) << "scripts/install-deps installs it";
            running.emplace(compositor.command, true);
            if (!test::waitUntil([&] { return manager.hasCompositor(); }, 10s)) {
                // The GL backend needs a GL the test server may not offer: said, not failed.
                if (compositor.name == "picom (glx)" && !running->isRunning())
                    continue;
                FAIL() << "the compositing manager did not start";
            }
        }
        xcb_connection_t* c = x11->get();
        const xcb_window_t victim = paint(area, 0x00FF00);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t colours[] = {0x00FF00, 0x00CC00};
        xcb_create_gc(c, gc, victim, XCB_GC_FOREGROUND, colours);
        // The compositing manager is painting before the overlay comes: one that has only just
        // taken the screen may still be setting up, and a desktop's never is at lock time.
        ASSERT_TRUE(test::waitUntil(
            [&] { return share(X11ScreenCapture::captureRegion(area), qRgb(0, 255, 0)) == 1.0; }, 10s))
            << "the compositing manager never showed the window";

        OverlayContent solid;
        solid.background = QColor(0, 0, 255);
        manager.build(solid);
        int pointerInput = 0;
        for (const auto& window : manager.windows())
            window->overlayView()->onPointerInput = [&](const std::string&) { ++pointerInput; };
        ASSERT_TRUE(test::waitUntil(
            [&] { return share(X11ScreenCapture::captureRegion(area), qRgb(0, 0, 255)) == 1.0; }, 5s))
            << "the overlay never covered the window";
        for (int frame = 0; frame < 8; ++frame) {
            // The window draws again, a new colour each time: the compositor repaints its area.
            const std::uint32_t colour[] = {colours[frame % 2]};
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, colour);
            const xcb_rectangle_t whole = {0, 0, std::uint16_t(area.width()), std::uint16_t(area.height())};
            xcb_poly_fill_rectangle(c, victim, gc, 1, &whole);
            x11->flush();
            sync();
            EXPECT_EQ(share(X11ScreenCapture::captureRegion(area), qRgb(0, 0, 255)), 1.0)
                << "the repainting window shows through, frame " << frame;
        }
        // A place the pointer has not been at before (a move to where it already is moves nothing).
        const int step = int(&compositor - compositors().data());
        test::run({"xdotool", "mousemove", std::to_string(300 + 40 * step), std::to_string(250 + 30 * step)});
        EXPECT_TRUE(test::waitUntil([&] { return pointerInput > 0; }, 3s))
            << "pointer motion never reached the overlay";

        manager.tearDown();
        // xfwm4 paints only the monitors its toolkit lists, which leaves out the test display's
        // right one (it has no RandR output): xfwm4 never draws there, and what shows there is
        // whatever the X server last drew itself (all of our blue, should xfwm4 stop composing
        // for a moment while it starts up). Everywhere else the whole screen is looked at.
        const QRect painted = compositor.name == "xfwm4" ? QRect(0, 0, 1920, 1080) : QRect(0, 0, 3840, 1080);
        EXPECT_TRUE(test::waitUntil(
            [&] { return share(X11ScreenCapture::captureRegion(painted), qRgb(0, 0, 255)) == 0.0; }, 5s))
            << "the overlay stayed on screen after it was taken down: blue on "
            << share(X11ScreenCapture::captureRegion(QRect(0, 0, 1920, 1080)), qRgb(0, 0, 255))
            << " of the left display, "
            << share(X11ScreenCapture::captureRegion(QRect(1920, 0, 1920, 1080)), qRgb(0, 0, 255))
            << " of the right";
        if (running) {
            // The live tint: the window shows, but through the tint only.
            OverlayContent tint;
            tint.isTranslucent = true;
            tint.background = QColor(255, 0, 0);
            tint.tintAlpha = 0.5;
            manager.build(tint);
            const auto tinted = [&] {
                const QRgb p = X11ScreenCapture::captureRegion(QRect(area.center(), QSize(1, 1))).pixel(0, 0);
                return qRed(p) > 60 && qRed(p) < 230 && qGreen(p) > 40 && qGreen(p) < 200;
            };
            EXPECT_TRUE(test::waitUntil(tinted, 5s)) << "the live screen does not show through the tint";
            manager.tearDown();
            sync();
        }
        // The compositing manager shows the window again at its next frame.
        const auto desktopBack = [&] {
            const QImage shown = X11ScreenCapture::captureRegion(area);
            return share(shown, qRgb(0, 255, 0)) + share(shown, qRgb(0, 204, 0)) > 0.99;
        };
        EXPECT_TRUE(test::waitUntil(desktopBack, 5s)) << "the overlay stayed on screen after it went";
        xcb_free_gc(c, gc);
        xcb_destroy_window(c, victim);
        x11->flush();
        running.reset();
        ASSERT_TRUE(test::waitUntil([&] { return !manager.hasCompositor(); }, 5s));
    }
}

namespace {

// The away note's yellow paper, told apart from the overlay under it.
bool isNotePaper(QRgb c) {
    return qRed(c) > 230 && qGreen(c) > 200 && qBlue(c) < 200 && qRed(c) - qBlue(c) > 50;
}

double paperShare(const QImage& image) {
    int total = 0, paper = 0;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2, ++total)
            paper += isNotePaper(image.pixel(x, y));
    return total ? double(paper) / total : 0;
}

// Reads `region` of the screen over and over on a connection of its own while the overlay is
// drawn, as a screen recorder or a compositor would; counts the reads that miss the note.
class ScreenSampler {
public:
    explicit ScreenSampler(QRect region) : region_(region), thread_([this] { run(); }) {}
    ~ScreenSampler() { stop(); }
    void stop() {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int samples() const { return samples_; }
    int withoutNote() const { return withoutNote_; }

private:
    void run() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        while (!done_ && !xcb_connection_has_error(c)) {
            auto reply = xreply(xcb_get_image_reply(
                c,
                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(region_.x()),
                              static_cast<std::int16_t>(region_.y()),
                              static_cast<std::uint16_t>(region_.width()),
                              static_cast<std::uint16_t>(region_.height()), ~0u),
                nullptr));
            if (!reply || xcb_get_image_data_length(reply.get()) < region_.width() * region_.height() * 4)
                break;
            const QImage image(xcb_get_image_data(reply.get()), region_.width(), region_.height(),
                               region_.width() * 4, QImage::Format_RGB32);
            ++samples_;
            withoutNote_ += paperShare(image) < 0.9;
        }
        xcb_disconnect(c);
    }
    QRect region_;
    std::atomic<bool> done_{false};
    std::atomic<int> samples_{0}, withoutNote_{0};
    std::thread thread_;
};

} // namespace

// With every effect at its strongest, each frame of the server's drawing holds the note: read
// back after every step of the effects, and read by another client as fast as the server answers
// while the frames are drawn (the frame used to be drawn in the window in steps, and a reader
// between them saw the overlay without the note). The sticky note also stays inside its display
// and clear of the unlock panel, drawn by the server or by this program.
TEST_F(OverlayX11, TheAwayNoteIsInEveryFrameUnderEveryStrongEffect) {
    const auto strong = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    struct Case {
        const char* name;
        OverlayContent content;
    };
    std::vector<Case> cases;
    {
        OverlayContent colour;
        colour.background = QColor(16, 18, 24);
        colour.animations = {OverlayAnimation::breathing, OverlayAnimation::gradientDrift};
        colour.tuning = strong;
        colour.awayNote = "Back in ten minutes, gone to the meeting about the budget upstairs, room 4";
        colour.awayNoteReturnLine = "Back around 10:45 AM";
        colour.awayNoteStyle = AwayNoteStyle::stickyNote;
        cases.push_back({"solid colour, strong breathing and drift", colour});
        OverlayContent image = colour;
        image.sharedImage = testPicture();
        image.animations = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                            OverlayAnimation::gradientDrift};
        cases.push_back({"image, every strong effect", image});
    }
    for (const Case& c : cases) {
        for (const bool inServer : {true, false}) {
            SCOPED_TRACE(std::string(c.name) +
                         (inServer ? ", drawn by the server" : ", drawn by this program"));
            FakeScheduler clock;
            X11OverlayWindows manager(clock, displays, x11);
            if (!inServer)
                manager.drawInClient();
            manager.build(c.content);
            clock.runDue();
            sync();
            ASSERT_EQ(manager.windows().size(), 2u);
            for (const auto& window : manager.windows()) {
                OverlayView* view = window->overlayView();
                const QRect display = window->geometry();
                const QRectF panel = view->panel()->geometry();
                // Where the paper shows on the screen: inside the display, above the panel.
                const QImage shown = X11ScreenCapture::captureRegion(display);
                QRect paper;
                for (int y = 0; y < shown.height(); ++y)
                    for (int x = 0; x < shown.width(); x += 2)
                        if (isNotePaper(shown.pixel(x, y)))
                            paper |= QRect(x, y, 1, 1);
                ASSERT_FALSE(paper.isEmpty()) << "the note shows";
                EXPECT_GT(paper.top(), 0);
                EXPECT_GT(paper.left(), 0);
                EXPECT_LT(paper.right(), display.width() - 2);
                EXPECT_LT(paper.bottom(), panel.top()) << "clear of the panel";
            }

            // A strip of bare paper across the card's middle, between its top and the message.
            OverlayView* view = manager.mainWindow()->overlayView();
            const auto l = AwayNoteView::layout(*view->awayNote()->model(), view->width(), view->height(),
                                                view->awayNote()->keepClear());
            const QRect card = l.cardFrame.toRect();
            const QRect strip = QRect(card.x() + card.width() / 4, card.y() + int(l.stripFrame.height() / 2),
                                      card.width() / 2, int(l.stripFrame.height() / 2 + l.padding / 2))
                                    .translated(manager.mainWindow()->geometry().topLeft());
            ASSERT_GT(paperShare(X11ScreenCapture::captureRegion(strip)), 0.9) << "the strip is paper";

            ScreenSampler sampler(strip);
            int frames = 0, framesWithoutNote = 0;
            const int before = view->framesDrawn();
            for (int step = 0; step < 12 * 30; ++step) { // 12 s: breaths, drift and pixel shifts
                clock.advance(Seconds(1.0 / 30));
                QCoreApplication::processEvents(); // this program's own drawing, when it draws
                if (step % 4 == 0) {
                    ++frames;
                    framesWithoutNote += paperShare(X11ScreenCapture::captureRegion(strip)) < 0.9;
                }
            }
            sync();
            sampler.stop();
            EXPECT_GT(view->framesDrawn() - before, 100) << "the effects ran";
            EXPECT_EQ(framesWithoutNote, 0) << "of " << frames << " frames read back";
            EXPECT_GT(sampler.samples(), 20);
            EXPECT_EQ(sampler.withoutNote(), 0) << "of " << sampler.samples() << " reads by another client";
            manager.tearDown();
            sync();
        }
    }
}
