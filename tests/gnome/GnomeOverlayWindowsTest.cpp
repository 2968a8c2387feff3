// GnomeOverlayWindows over the real headless GNOME Shell of the ctest fixture `gnome`, on the
// program's virtual clock: the pixel shift moves each monitor's picture by its step with nothing
// of the desktop at any edge, and the drift's gradient changes, as the Shell itself shows them.
#include "platform/gnome/GnomeOverlayWindows.h"
#include "gnome/GnomeTestSupport.h"
#include "platform/fake/FakeScheduler.h"
#include "support/PictureChecks.h"
#include "support/QtWidgetsApp.h"

#include <QCoreApplication>
#include <QPainter>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;
using namespace tolva::test::gnome;

namespace {

struct GnomeOverlayMotion : ExtensionTest {
    void SetUp() override {
        ExtensionTest::SetUp();
        if (shell)
            cover = std::make_unique<GnomeOverlayWindows>(scheduler, shell);
    }
    void TearDown() override {
        if (cover)
            cover->tearDown();
        cover.reset();
        ExtensionTest::TearDown();
    }

    // Runs the virtual clock `seconds` ahead, a frame's worth at a time, with the bus served.
    void runFor(double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            scheduler.advance(Seconds(0.05));
            QCoreApplication::processEvents();
        }
        pumpEvents(300ms); // the last frame reaches the Shell
    }

    // What each monitor shows now, as the Shell draws it.
    std::vector<QImage> monitors() const {
        std::vector<QImage> shots;
        std::string error;
        for (auto& [place, shot] : shell->snapshot(&error))
            shots.push_back(shot.convertToFormat(QImage::Format_RGB32));
        EXPECT_EQ(shots.size(), 2u) << error;
        return shots;
    }

    FakeScheduler scheduler;
    std::unique_ptr<GnomeOverlayWindows> cover;
};

// Whether every pixel of each edge of `shot` is pure red on the left half and pure blue on the
// right (within 8): nothing else shows at any edge.
bool edgesShowThePicture(const QImage& shot, int edge) {
    auto isPicture = [&](int x, int y) {
        const QRgb p = shot.pixel(x, y);
        const bool red = qRed(p) > 247 && qGreen(p) < 8 && qBlue(p) < 8;
        const bool blue = qBlue(p) > 247 && qGreen(p) < 8 && qRed(p) < 8;
        return x < edge - 1 ? red : x > edge ? blue : true;
    };
    for (int x = 0; x < shot.width(); ++x)
        if (!isPicture(x, 0) || !isPicture(x, shot.height() - 1))
            return false;
    for (int y = 0; y < shot.height(); ++y)
        if (!isPicture(0, y) || !isPicture(shot.width() - 1, y))
            return false;
    return true;
}

} // namespace

TEST_F(GnomeOverlayMotion, ThePictureShiftsByItsStepOnBothMonitorsAndTheGradientDrifts) {
    const auto tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    const int step = int(tuning.pixelShiftStep);
    const QImage picture = redLeftBlueRight(640, 480);
    OverlayContent content;
    content.sharedImage = picture;
    content.animations = {OverlayAnimation::pixelShift};
    content.tuning = tuning;
    cover->build(content);
    ASSERT_TRUE(cover->isCovered());
    pumpEvents(300ms);
    auto shots = monitors();
    ASSERT_EQ(shots.size(), 2u);
    const int before = redToBlueEdge(shots[0], 360);
    EXPECT_GT(before, 0) << "the picture does not show";
    EXPECT_EQ(redToBlueEdge(shots[1], 360), before) << "the monitors show the picture apart";

    // One interval, and the move after it: to the right by the step, on both monitors, with the
    // margin filling the edge it leaves.
    runFor(tuning.pixelShiftInterval + 3);
    shots = monitors();
    ASSERT_EQ(shots.size(), 2u);
    for (std::size_t i = 0; i < shots.size(); ++i) {
        const int after = redToBlueEdge(shots[i], 360);
        EXPECT_EQ(after - before, step)
            << "monitor " << i << ": the edge stood at " << before << ", then at " << after;
        EXPECT_TRUE(edgesShowThePicture(shots[i], after))
            << "monitor " << i << " shows something else at an edge";
    }
    // The next interval: up by the step (the first column moves back).
    runFor(tuning.pixelShiftInterval);
    shots = monitors();
    ASSERT_EQ(shots.size(), 2u);
    for (std::size_t i = 0; i < shots.size(); ++i) {
        EXPECT_EQ(redToBlueEdge(shots[i], 360), before) << "monitor " << i;
        EXPECT_TRUE(edgesShowThePicture(shots[i], before)) << "monitor " << i;
    }
    cover->tearDown();

    // A grey colour with the drifting gradient: lighter towards the lower left, darker towards
    // the upper right, and not the same a while later.
    OverlayContent grey;
    grey.background = QColor(128, 128, 128);
    grey.animations = {OverlayAnimation::gradientDrift};
    grey.tuning = tuning;
    cover->build(grey);
    pumpEvents(300ms);
    const QRect lowerLeft(0, 540, 320, 180), upperRight(960, 0, 320, 180);
    shots = monitors();
    ASSERT_EQ(shots.size(), 2u);
    for (const auto& shot : shots) {
        EXPECT_GT(meanGreen(shot, lowerLeft), 140) << "no gradient";
        EXPECT_LT(meanGreen(shot, upperRight), 116) << "no gradient";
    }
    const QImage first = shots[1];
    runFor(tuning.gradientPeriod * 0.25);
    shots = monitors();
    ASSERT_EQ(shots.size(), 2u);
    EXPECT_GT(meanGreen(shots[1], lowerLeft) - meanGreen(first, lowerLeft), 3) << "the gradient stood still";
    EXPECT_NE(shots[1], first);
}
