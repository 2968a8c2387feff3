// The settings preview: what it shows for the preferences, the sample desktop, the motion at
// eight times the speed, and the colour well.
#include "ui/OverlayPreview.h"
#include "support/SettingsRig.h"
#include "ui/OverlayColorWell.h"

#include <QColorDialog>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;

TEST(OverlayPreview, ContentFromThePreferences) {
    SettingsRig w;
    auto preview = OverlayPreview::fromPreferences(*w.prefs, false, w.now);
    EXPECT_EQ(preview.mode, OverlayContentMode::liveTint);
    EXPECT_EQ(preview.awayNote, "Back soon") << "the note shows even when it is switched off";
    EXPECT_EQ(preview.awayNoteReturnLine,
              Preferences::awayNoteReturnLine(w.now + std::chrono::seconds(3600)));
    EXPECT_EQ(preview.animations, OverlayAnimationSet{OverlayAnimation::pixelShift});
    OverlayContent content = preview.content();
    EXPECT_TRUE(content.isTranslucent);
    EXPECT_TRUE(content.sharedImage.isNull());
    EXPECT_DOUBLE_EQ(content.tintAlpha, 0.06);

    w.prefs->setKeepAwakeSeconds(7200);
    w.prefs->setAwayNoteText("At lunch");
    w.prefs->setOverlayContentMode(OverlayContentMode::snapshot);
    preview = OverlayPreview::fromPreferences(*w.prefs, false, w.now);
    EXPECT_EQ(preview.awayNote, "At lunch");
    EXPECT_EQ(preview.awayNoteReturnLine,
              Preferences::awayNoteReturnLine(w.now + std::chrono::seconds(7200)));
    content = preview.content();
    EXPECT_FALSE(content.isTranslucent);
    EXPECT_EQ(content.sharedImage.size(), QSize(640, 360)) << "the sample desktop, never a capture";
    EXPECT_TRUE(content.snapshots.empty());

    w.prefs->setAwayNoteShowsReturnTime(false);
    w.prefs->setOverlayContentMode(OverlayContentMode::image);
    w.prefs->setOverlayImageFileName("overlay-missing.png");
    preview = OverlayPreview::fromPreferences(*w.prefs, true, w.now);
    EXPECT_EQ(preview.awayNoteReturnLine, std::nullopt);
    EXPECT_TRUE(preview.animations.empty()) << "Reduce Motion stops the preview too";
    EXPECT_TRUE(preview.content().sharedImage.isNull()) << "an unreadable image shows the solid colour";
}

TEST(OverlayPreview, SampleDesktop) {
    widgetsApp();
    const QImage& sample = OverlayPreview::sampleImage();
    ASSERT_EQ(sample.size(), QSize(640, 360));
    // Bottom left is where the 30° gradient starts, top right where it ends.
    const QColor start = sample.pixelColor(0, 359), end = sample.pixelColor(639, 0);
    EXPECT_NEAR(start.redF(), 0.16, 0.03);
    EXPECT_NEAR(start.blueF(), 0.32, 0.03);
    EXPECT_NEAR(end.redF(), 0.55, 0.03);
    EXPECT_NEAR(end.blueF(), 0.45, 0.03);
    // The big window (y-up 60…280) is nearly white; a text bar on it is darker.
    const QColor window = sample.pixelColor(380, 360 - 100);
    EXPECT_GT(window.lightnessF(), 0.85);
    const QColor bar = sample.pixelColor(70, 360 - 246);
    EXPECT_LT(bar.lightnessF(), window.lightnessF() - 0.2);
}

TEST(OverlayPreview, MotionRunsEightTimesFasterAndRestartsOnlyWhenItMust) {
    SettingsRig w;
    const std::size_t othersTasks = w.scheduler.pendingCount(); // the rig's own timers
    OverlayPreviewCanvas canvas(w.scheduler);
    canvas.show();
    EXPECT_EQ(canvas.view()->size(), QSize(330, 196));
    EXPECT_FALSE(canvas.view()->guardsInput());
    w.prefs->setOverlayContentMode(OverlayContentMode::snapshot);
    w.prefs->setAnimations(
        {OverlayAnimation::pixelShift, OverlayAnimation::breathing, OverlayAnimation::gradientDrift});
    w.prefs->setAnimationStrength(AnimationStrength::strong);
    canvas.apply(OverlayPreview::fromPreferences(*w.prefs, false, w.now));
    EXPECT_EQ(canvas.animationStarts(), 1);
    const auto timings = canvas.view()->timings();
    EXPECT_DOUBLE_EQ(timings.breathingOneWay.value_or(0), 0.5);
    EXPECT_DOUBLE_EQ(timings.driftOneWay.value_or(0), 1.25);
    EXPECT_DOUBLE_EQ(timings.pixelShiftInterval.value_or(0), 2.0) << "never more often than every 2 s";

    // Colour, opacity and away note keep the motion where it is.
    w.scheduler.advance(Seconds(0.3));
    const double phase = canvas.view()->dimOpacity();
    EXPECT_GT(phase, 0);
    w.prefs->setOverlayColor(SRGBColor(0.5, 0.1, 0.1));
    w.prefs->setAwayNoteText("Back at 3");
    canvas.apply(OverlayPreview::fromPreferences(*w.prefs, false, w.now));
    EXPECT_EQ(canvas.animationStarts(), 1);
    EXPECT_DOUBLE_EQ(canvas.view()->dimOpacity(), phase);
    EXPECT_EQ(canvas.view()->awayNote()->model()->text, "Back at 3");

    // The strength restarts them at the new speed.
    w.prefs->setAnimationStrength(AnimationStrength::subtle);
    canvas.apply(OverlayPreview::fromPreferences(*w.prefs, false, w.now));
    EXPECT_EQ(canvas.animationStarts(), 2);
    EXPECT_DOUBLE_EQ(canvas.view()->timings().breathingOneWay.value_or(0), 30 * 0.5 / 8);
    EXPECT_DOUBLE_EQ(canvas.view()->dimOpacity(), 0) << "a fresh start";

    // Off screen (another tab, the window closed) nothing runs; back on screen it starts again.
    canvas.hide();
    EXPECT_TRUE(canvas.view()->activeAnimations().empty());
    EXPECT_EQ(w.scheduler.pendingCount(), othersTasks) << "no timers left behind";
    w.prefs->setAnimationStrength(AnimationStrength::strong);
    canvas.apply(OverlayPreview::fromPreferences(*w.prefs, false, w.now));
    EXPECT_EQ(canvas.animationStarts(), 2) << "not while hidden";
    canvas.show();
    EXPECT_EQ(canvas.animationStarts(), 3);
    EXPECT_DOUBLE_EQ(canvas.view()->timings().breathingOneWay.value_or(0), 0.5);

    // Reduce Motion: nothing moves.
    canvas.apply(OverlayPreview::fromPreferences(*w.prefs, true, w.now));
    EXPECT_TRUE(canvas.view()->activeAnimations().empty());
}

TEST(OverlayColorWell, WritesOnlyNewColoursAndSitsBesideTheWindow) {
    SettingsRig w;
    int writes = 0;
    auto observation = w.prefs->observe(Preferences::Property::overlayColor, [&] { ++writes; });
    QWidget window;
    window.setGeometry(0, 0, 200, 150);
    auto* well = new OverlayColorWell(&window);
    well->get = [&] { return w.prefs->overlayColor(); };
    well->set = [&](const SRGBColor& c) { w.prefs->setOverlayColor(c); };
    well->refresh();
    window.show();
    EXPECT_EQ(well->accessibleName(), "Color");
    EXPECT_EQ(srgbColor(well->color()), SRGBColor::defaultOverlay());

    well->activate();
    QColorDialog* panel = OverlayColorWell::sharedPanel();
    ASSERT_TRUE(OverlayColorWell::isPanelVisible());
    EXPECT_EQ(writes, 0) << "opening the panel writes nothing";
    EXPECT_EQ(panel->frameGeometry().top(), window.frameGeometry().top()) << "top-aligned with the window";
    EXPECT_EQ(panel->frameGeometry().left(), window.frameGeometry().right() + 1 + 12)
        << "12 points to its right";

    panel->setCurrentColor(QColor(16, 18, 24)); // the colour it already has
    EXPECT_EQ(writes, 0);
    panel->setCurrentColor(QColor(255, 0, 128));
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(w.prefs->overlayColor().hexString(), "#FF0080");
    EXPECT_EQ(well->color(), QColor(255, 0, 128));
    well->colorChanged(QColor()); // not a colour at all
    EXPECT_EQ(writes, 1);
    OverlayColorWell::hidePanel();
    EXPECT_FALSE(OverlayColorWell::isPanelVisible());
}
