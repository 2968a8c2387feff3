// KWin's screenshot service through KWinScreenCapture on a real headless KWin: every output at its
// pixel size, with what is on it.
#include "kwin/KWinTestSupport.h"
#include "wayland/WaylandTestSupport.h"

#include "platform/wayland/KWinScreenCapture.h"
#include "platform/wayland/WaylandConnection.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <iostream>

namespace tolva {
namespace {

using namespace tolva::test;

class KWinScreenCaptureTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterKWinSession())
            GTEST_SKIP() << "needs the headless KWin of the ctest fixture `kwin`";
        connection = WaylandConnection::connect();
        ASSERT_TRUE(connection);
        ASSERT_TRUE(driveUntil([&] { return connection->outputInfos().size() == 2; }));
    }

    std::optional<KWinScreenCapture::Pictures> capture(KWinScreenCapture& capturer) {
        std::optional<KWinScreenCapture::Pictures> pictures;
        QElapsedTimer timer;
        timer.start();
        capturer.captureOutputs([&](KWinScreenCapture::Pictures p) { pictures = std::move(p); });
        driveUntil([&] { return pictures.has_value(); }, 10s);
        std::cout << "both outputs captured in " << timer.nsecsElapsed() / 1e6 << " ms\n";
        return pictures;
    }

    static int pixelsOf(const QImage& image, QColor colour) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += image.pixelColor(x, y) == colour;
        return count;
    }

    std::shared_ptr<WaylandConnection> connection;
};

TEST_F(KWinScreenCaptureTest, PicturesEveryOutputWithWhatItShows) {
    KWinScreenCapture capturer(connection);
    ASSERT_TRUE(capturer.isAvailable());
    // A window of a colour nothing else has: 400×300 pixels of it must be on the pictures.
    const QColor colour(10, 20, 230);
    KeyLoggingWindow window(colour);
    ASSERT_TRUE(driveUntil([&] { return window.isMapped(); }));

    int shown = 0;
    std::map<std::string, QImage> last;
    ASSERT_TRUE(driveUntil(
        [&] {
            auto pictures = capture(capturer);
            if (!pictures)
                return false;
            last = *pictures;
            shown = 0;
            for (const auto& [output, picture] : last)
                shown += pixelsOf(picture, colour);
            return shown == 400 * 300;
        },
        15s))
        << "the window's pixels on the pictures: " << shown;
    ASSERT_EQ(last.size(), 2u);
    for (const auto& output : connection->outputInfos()) {
        ASSERT_TRUE(last.count(output.name)) << output.name;
        EXPECT_EQ(last.at(output.name).size(), output.geometry.size()) << output.name;
    }
    EXPECT_TRUE(capturer.failures().empty());
}

TEST_F(KWinScreenCaptureTest, ALaterCaptureReplacesOneStillRunning) {
    KWinScreenCapture capturer(connection);
    int first = 0;
    std::optional<KWinScreenCapture::Pictures> second;
    capturer.captureOutputs([&](KWinScreenCapture::Pictures) { ++first; });
    capturer.captureOutputs([&](KWinScreenCapture::Pictures p) { second = std::move(p); });
    ASSERT_TRUE(driveUntil([&] { return second.has_value(); }));
    EXPECT_EQ(second->size(), 2u);
    // Give the first call's answers time to come in: they must not call it.
    driveUntil([] { return false; }, 500ms);
    EXPECT_EQ(first, 0);
}

TEST_F(KWinScreenCaptureTest, KWinRefusesAProgramNoDesktopEntryNames) {
    // The probe captures just as the test above, but the session wrote no .desktop entry for it.
    const auto result = runCommand(TOLVA_KWIN_CAPTURE_PROBE, {});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    std::string expected;
    for (const auto& output : connection->outputInfos())
        expected +=
            output.name +
            " failed: org.kde.KWin.ScreenShot2.Error.NoAuthorized: The process is not authorized to take a "
            "screenshot\n";
    EXPECT_EQ(result.output.toStdString(), expected);
}

} // namespace
} // namespace tolva
