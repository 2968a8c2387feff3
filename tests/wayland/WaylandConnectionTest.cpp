// The connection when the compositor goes away under it: reported once through the event loop,
// and every object can still be released without a crash.
#include "WaylandTestSupport.h"

#include "platform/QtScheduler.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

namespace tolva {
namespace {

using namespace tolva::test;

TEST(WaylandConnectionTest, ACompositorThatDiesIsReportedOnceAndNothingCrashes) {
    if (!enterWaylandSession())
        GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
    PrivateCompositor compositor(PrivateCompositor::Kind::headless);
    ASSERT_FALSE(compositor.display().empty()) << compositor.error();
    auto connection = WaylandConnection::connect(compositor.display());
    ASSERT_TRUE(connection);
    QtScheduler scheduler;
    auto overlay = std::make_unique<WaylandOverlay>(connection, scheduler);
    WaylandScreenCapture capture(connection);
    int shown = 0, lost = 0, connectionLost = 0;
    overlay->onCoverShown = [&](const std::string&, std::chrono::microseconds) { ++shown; };
    overlay->onConnectionLost = [&] { ++lost; };
    connection->onLost = [&] { ++connectionLost; };
    ASSERT_TRUE(overlay->cover(CoverContent::solid(Qt::black)));
    ASSERT_TRUE(driveUntil([&] { return shown == 2; }));

    compositor.kill();
    ASSERT_TRUE(driveUntil([&] { return lost > 0 && connectionLost > 0; })) << "the end was not reported";
    driveUntil([] { return false; }, 100ms);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(connectionLost, 1);
    EXPECT_FALSE(connection->isConnected());
    EXPECT_FALSE(connection->lostReason().empty());
    EXPECT_FALSE(connection->roundtrip());
    EXPECT_FALSE(overlay->isAvailable());
    EXPECT_EQ(
        WaylandOverlay::unavailableReason(*connection).rfind("the connection to the compositor ended", 0), 0u)
        << WaylandOverlay::unavailableReason(*connection);

    // Everything still works as calls that do nothing, and is released in any order.
    std::optional<WaylandScreenCapture::Pictures> pictures;
    capture.captureOutputs([&](WaylandScreenCapture::Pictures result) { pictures = std::move(result); });
    overlay->setPanel("HEADLESS-1", QImage(10, 10, QImage::Format_ARGB32_Premultiplied), QPoint());
    EXPECT_FALSE(overlay->cover(CoverContent::solid(Qt::white)));
    overlay->uncover();
    overlay.reset();
    ASSERT_TRUE(driveUntil([&] { return pictures.has_value(); }));
    EXPECT_TRUE(pictures->empty());
}

TEST(WaylandConnectionTest, ACompositorWithoutLayerShellIsRefusedWithAReason) {
    if (!enterWaylandSession())
        GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
    // weston offers no layer-shell (nor do cage and GNOME): the overlay cannot cover there.
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    std::filesystem::permissions(runtime.path().toStdString(), std::filesystem::perms::owner_all);
    QProcess weston;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    environment.remove("WAYLAND_DISPLAY");
    weston.setProcessEnvironment(environment);
    weston.start("weston", {"--backend=headless-backend.so", "--socket=tolva-test", "--idle-time=0",
                            "--no-config", "--shell=fullscreen-shell.so"});
    ASSERT_TRUE(weston.waitForStarted(5000)) << "weston did not start (scripts/install-deps)";
    const std::string socket = runtime.filePath("tolva-test").toStdString();
    ASSERT_TRUE(driveUntil([&] { return std::filesystem::exists(socket); }, 20s))
        << weston.readAllStandardError().toStdString();

    auto connection = WaylandConnection::connect(socket);
    ASSERT_TRUE(connection);
    QtScheduler scheduler;
    WaylandOverlay overlay(connection, scheduler);
    EXPECT_FALSE(overlay.isAvailable());
    EXPECT_EQ(WaylandOverlay::unavailableReason(*connection),
              "the compositor offers no layer-shell (zwlr_layer_shell_v1)");
    EXPECT_FALSE(overlay.cover(CoverContent::solid(Qt::black)));
    EXPECT_FALSE(overlay.isCovered());
    EXPECT_FALSE(overlay.outputs().empty()); // it is connected and sees the outputs all the same
    EXPECT_FALSE(WaylandScreenCapture(connection).isAvailable());
    EXPECT_TRUE(connection->roundtrip());

    weston.terminate();
    weston.waitForFinished(5000);
}

} // namespace
} // namespace tolva
