// The connection when the compositor goes away under it: reported once through the event loop,
// and every object can still be released without a crash.
#include "WaylandTestSupport.h"

#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <gtest/gtest.h>

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
    auto overlay = std::make_unique<WaylandOverlay>(connection);
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

} // namespace
} // namespace tolva
