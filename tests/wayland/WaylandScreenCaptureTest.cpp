// Screen copies through wlr-screencopy against what grim sees of the same outputs, and idle
// notifications of the compositor.
#include "WaylandTestSupport.h"

#include "platform/QtScheduler.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandIdleTime.h"
#include "platform/wayland/WaylandIdleWatch.h"
#include "platform/wayland/WaylandOverlay.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <QElapsedTimer>
#include <QPainter>

#include <gtest/gtest.h>

#include <iostream>

namespace tolva {
namespace {

using namespace tolva::test;

class WaylandScreenCaptureTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterWaylandSession())
            GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
        connection = WaylandConnection::connect();
        ASSERT_TRUE(connection) << "cannot connect to the test compositor";
    }
    std::shared_ptr<WaylandConnection> connection;
};

TEST_F(WaylandScreenCaptureTest, CopiesEachOutputAsGrimSeesIt) {
    // Something to copy that is not one flat colour: a picture per output under the overlay.
    QtScheduler scheduler;
    WaylandOverlay overlay(connection, scheduler);
    std::map<std::string, QImage> pictures;
    std::map<std::string, QRect> corners; // blue, top left: a copy upside down shows
    int shade = 40;
    for (const auto& output : overlay.outputs()) {
        QImage picture(output.geometry.size(), QImage::Format_RGB32);
        picture.fill(QColor(shade % 256, 0, 0));
        const QRect corner(0, 0, picture.width() / 2, picture.height() / 4);
        QPainter(&picture).fillRect(corner, QColor(0, 0, 255));
        pictures[output.name] = picture;
        corners[output.name] = corner;
        shade += 60;
    }
    int shown = 0;
    overlay.onCoverShown = [&](const std::string&, std::chrono::microseconds) { ++shown; };
    ASSERT_TRUE(overlay.cover(CoverContent::pictures(pictures)));
    ASSERT_TRUE(driveUntil([&] { return shown == int(pictures.size()); }));

    WaylandScreenCapture capture(connection);
    ASSERT_TRUE(capture.isAvailable());
    std::optional<WaylandScreenCapture::Pictures> copies;
    QElapsedTimer timer;
    timer.start();
    capture.captureOutputs([&](WaylandScreenCapture::Pictures result) { copies = std::move(result); });
    ASSERT_TRUE(driveUntil([&] { return copies.has_value(); })) << "the copy never finished";
    std::cout << "screencopy of " << copies->size() << " outputs: " << timer.elapsed() << " ms\n";

    ASSERT_EQ(copies->size(), pictures.size());
    for (const auto& [name, picture] : pictures) {
        ASSERT_TRUE(copies->count(name)) << name;
        const QImage& copy = copies->at(name);
        const QImage seen = screenshot(name);
        ASSERT_EQ(copy.size(), seen.size()) << name;
        const QRect corner = corners[name];
        EXPECT_EQ(gridMismatches(copy, QColor(0, 0, 255), 0, corner), "") << name;
        const QRect below(0, corner.bottom() + 10, copy.width(), copy.height() - corner.bottom() - 10);
        EXPECT_EQ(gridMismatches(copy, picture.pixelColor(0, picture.height() - 1), 0, below), "") << name;
        int differences = 0;
        for (int y = 0; y < seen.height(); y += 7)
            for (int x = 0; x < seen.width(); x += 7)
                differences += copy.pixel(x, y) != seen.pixel(x, y);
        EXPECT_EQ(differences, 0) << name << " differs from grim's picture";
    }
}

TEST_F(WaylandScreenCaptureTest, ASecondCaptureReplacesTheFirst) {
    WaylandScreenCapture capture(connection);
    int firstCalls = 0;
    std::optional<WaylandScreenCapture::Pictures> second;
    capture.captureOutputs([&](WaylandScreenCapture::Pictures) { ++firstCalls; });
    capture.captureOutputs([&](WaylandScreenCapture::Pictures result) { second = std::move(result); });
    ASSERT_TRUE(driveUntil([&] { return second.has_value(); }));
    driveUntil([] { return false; }, 100ms);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(second->size(), connection->outputInfos().size());
}

TEST(WaylandIdleWatchTest, ReportsIdleAfterTheTimeoutAndResumedOnInput) {
    if (!enterWaylandSession())
        GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
    auto connection = WaylandConnection::connect();
    ASSERT_TRUE(connection);
    WaylandIdleWatch watch(connection);
    ASSERT_TRUE(watch.isAvailable());
    int idle = 0, resumed = 0;
    watch.onIdle = [&] { ++idle; };
    watch.onResumed = [&] { ++resumed; };
    ASSERT_TRUE(watch.start(std::chrono::milliseconds(300)));
    ASSERT_TRUE(driveUntil([&] { return idle == 1; })) << "never idle";
    EXPECT_TRUE(watch.isIdle());
    ASSERT_TRUE(typeUntil({"w"}, [&] { return resumed == 1; })) << "input did not end the idle time";
    EXPECT_FALSE(watch.isIdle());
}

TEST(WaylandIdleWatchTest, IdleTimeCountsFromTheLastInputAndEndsWithTheNext) {
    if (!enterWaylandSession())
        GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
    auto connection = WaylandConnection::connect();
    ASSERT_TRUE(connection);
    // Real time brings the compositor's notice; the clock the answer is counted on is ours.
    auto now = WaylandIdleTime::Clock::now();
    WaylandIdleTime source(connection, [&] { return now; });
    ASSERT_TRUE(source.isAvailable());
    EXPECT_EQ(source.secondsSinceLastInput(), 0) << "no notice yet: no idle time";
    ASSERT_TRUE(driveUntil([&] { return source.secondsSinceLastInput() > 0; }, 15s)) << "never idle";
    // The notice comes a second after the last input, which is where the count starts.
    EXPECT_DOUBLE_EQ(source.secondsSinceLastInput(), 1.0);
    now += std::chrono::seconds(90);
    EXPECT_DOUBLE_EQ(source.secondsSinceLastInput(), 91.0);
    ASSERT_TRUE(typeUntil({"w"}, [&] { return source.secondsSinceLastInput() == 0; }))
        << "input did not end the idle time";
}

} // namespace
} // namespace tolva
