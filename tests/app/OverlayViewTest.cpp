#include "overlay/OverlayView.h"
#include "log/Log.h"
#include "overlay/AwayNoteView.h"
#include "overlay/MotionCurve.h"
#include "overlay/OverlayWindow.h"
#include "platform/KeyTranslation.h"
#include "platform/fake/FakeScheduler.h"
#include "support/QtWidgetsApp.h"
#include "unlock/PinDotsView.h"
#include "unlock/UnlockPanel.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTransform>

#include <gtest/gtest.h>

using namespace tolva;

namespace {

OverlayContent solid(QColor color) {
    OverlayContent content;
    content.background = color;
    return content;
}

OverlayContent picture() {
    OverlayContent content;
    content.sharedImage = QImage(64, 36, QImage::Format_RGB32);
    content.sharedImage.fill(Qt::darkGreen);
    return content;
}

const OverlayAnimationSet all = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                                 OverlayAnimation::gradientDrift};

} // namespace

TEST(MotionCurve, EasingAndNextVisibleChange) {
    EXPECT_DOUBLE_EQ(easeInOut(0), 0);
    EXPECT_NEAR(easeInOut(0.5), 0.5, 1e-9);
    EXPECT_NEAR(easeInOut(1), 1, 1e-9);
    EXPECT_LT(easeInOut(0.1), 0.1) << "slow start";
    EXPECT_NEAR(easeInOut(easeInOutInverse(0.3)), 0.3, 1e-9);

    AutoReversingCurve breath{15, 0, 0.03};
    EXPECT_NEAR(breath.value(15), 0.03, 1e-9);
    EXPECT_NEAR(breath.value(30), 0, 1e-9);
    EXPECT_NEAR(breath.value(7.5), 0.015, 1e-9);
    // 0.03 spans under eight 8-bit steps: only a handful of visible changes per breath.
    int changes = 0;
    for (double t = 0; t < 30; t = breath.nextChange(t, 1.0 / 255))
        ++changes;
    EXPECT_GE(changes, 8);
    EXPECT_LE(changes, 18);
    EasedMove move{1, 0, 16};
    EXPECT_TRUE(move.nextChange(0, 1).has_value());
    EXPECT_EQ(move.nextChange(1, 1), std::nullopt);
}

TEST(OverlayView, EffectTimingsFollowTheTuningAndTimeScale) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(330, 196), false);
    view.apply(picture(), std::nullopt);
    view.startAnimations(all, OverlayAnimationTuning::tuning(AnimationStrength::strong), 8);
    auto t = view.timings();
    EXPECT_EQ(t.pixelShiftInterval, 2.0) << "never more often than every 2 s";
    EXPECT_EQ(t.pixelShiftMove, 1.0);
    EXPECT_EQ(t.breathingOneWay, 0.5);
    EXPECT_EQ(t.driftOneWay, 1.25);

    view.startAnimations(all, OverlayAnimationTuning::tuning(AnimationStrength::subtle), 1);
    t = view.timings();
    EXPECT_EQ(t.pixelShiftInterval, 45.0);
    EXPECT_EQ(t.pixelShiftMove, 2.0);
    EXPECT_EQ(t.breathingOneWay, 15.0);
    EXPECT_EQ(t.driftOneWay, 40.0);
    EXPECT_EQ(scheduler.pendingCount(), 2u) << "restarting leaves one shift task and one frame";
}

TEST(OverlayView, PixelShiftNeedsAPictureAndMovesRightFirst) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView tint(scheduler, QSize(400, 300), true);
    OverlayContent live;
    live.isTranslucent = true;
    tint.apply(live, std::nullopt);
    tint.startAnimations({OverlayAnimation::pixelShift},
                         OverlayAnimationTuning::tuning(AnimationStrength::medium), 1);
    EXPECT_EQ(tint.timings().pixelShiftInterval, std::nullopt);
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "nothing runs on a live tint";

    OverlayView view(scheduler, QSize(400, 300), true);
    view.apply(picture(), std::nullopt);
    view.startAnimations({OverlayAnimation::pixelShift},
                         OverlayAnimationTuning::tuning(AnimationStrength::medium), 1);
    scheduler.advance(Seconds(20 + 2));
    EXPECT_EQ(view.pictureOffset(), QPointF(6, 0)) << "first to the right of centre";
    scheduler.advance(Seconds(20 + 2));
    EXPECT_EQ(view.pictureOffset(), QPointF(0, 6)) << "then below (y grows downward on screen)";
    view.stopAnimations();
    EXPECT_EQ(view.pictureOffset(), QPointF(0, 0));
    EXPECT_EQ(view.dimOpacity(), 0);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST(OverlayView, StaticOverlayNeverWakesAndSubtleBreathingRarely) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(1920, 1080), true);
    view.apply(solid(Qt::black), std::nullopt);
    view.startAnimations({}, OverlayAnimationTuning::tuning(AnimationStrength::subtle), 1);
    EXPECT_EQ(scheduler.pendingCount(), 0u);

    view.startAnimations({OverlayAnimation::breathing},
                         OverlayAnimationTuning::tuning(AnimationStrength::subtle), 1);
    int frames = 0;
    double last = -1;
    for (int i = 0; i < 600; ++i) { // one minute in 0.1 s steps
        scheduler.advance(Seconds(0.1));
        const double dim = std::round(view.dimOpacity() * 255);
        if (dim != last)
            ++frames;
        last = dim;
    }
    EXPECT_GE(frames, 10);
    EXPECT_LE(frames, 40) << "a 0.03 breath has only a few visible steps";
}

TEST(OverlayView, ADarkColourBreathesInFewerFramesThanAPicture) {
    test::widgetsApp();
    auto framesInAMinute = [](const OverlayContent& content) {
        FakeScheduler scheduler;
        OverlayView view(scheduler, QSize(1920, 1080), true);
        view.apply(content, std::nullopt);
        view.startAnimations({OverlayAnimation::breathing},
                             OverlayAnimationTuning::tuning(AnimationStrength::strong), 1);
        const int before = view.framesDrawn();
        scheduler.advance(Seconds(60));
        return view.framesDrawn() - before;
    };
    OverlayContent dark = solid(QColor(16, 18, 24));
    OverlayContent picture = dark;
    picture.sharedImage = QImage(64, 64, QImage::Format_RGB32);
    picture.sharedImage.fill(Qt::white);
    const int darkFrames = framesInAMinute(dark);
    const int pictureFrames = framesInAMinute(picture);
    EXPECT_GT(darkFrames, 0);
    // The brightest channel of the dark colour is 24 of 255: about a tenth of the steps show.
    EXPECT_LT(darkFrames * 5, pictureFrames) << darkFrames << " vs " << pictureFrames;
    EXPECT_EQ(framesInAMinute(solid(Qt::black)), 0) << "black never looks different";
}

TEST(OverlayView, PanelFadesAndAShowDuringAFadeWins) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(800, 600), true);
    EXPECT_EQ(view.panel()->geometry(), QRect(280, 219, 240, 161)) << "centred";
    view.showPanel();
    scheduler.advance(Seconds(0.3));
    EXPECT_TRUE(view.isPanelVisible());
    EXPECT_FALSE(view.panel()->isHidden());
    view.hidePanel(true);
    scheduler.advance(Seconds(0.1));
    view.showPanel();
    scheduler.advance(Seconds(1));
    EXPECT_TRUE(view.isPanelVisible());
    EXPECT_FALSE(view.panel()->isHidden()) << "the fade's end must not hide a panel shown again";
    view.hidePanel(false);
    EXPECT_TRUE(view.panel()->isHidden());
}

// The picture of the card that the Wayland and GNOME covers show follows each typed digit and
// each new line, in a view that is never shown on screen itself.
TEST(OverlayView, ThePanelsPictureFollowsWhatWasTyped) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayWindow window(scheduler, QRect(0, 0, 800, 600), false, 1);
    OverlayView& view = *window.overlayView();
    view.apply(solid(Qt::black), std::nullopt);
    view.showPanel();
    // Drawn while it fades in, as the covers draw it every few frames, and once it is in.
    scheduler.advance(Seconds(0.1));
    view.panelPicture();
    scheduler.advance(Seconds(1));
    const auto firstDot = [&] {
        const QImage picture = view.panelPicture();
        const PinDotsView* dots = view.panel()->dots();
        const auto g = PinDotsView::layout(dots->filled(), dots->total(), dots->width(), dots->height());
        return picture.pixelColor(dots->geometry().topLeft() +
                                  QPoint(int(g.x[0] + g.diameter / 2), int(g.y + g.diameter / 2)));
    };
    view.panel()->update(UnlockPanelModel{0, 4, "Enter PIN", std::nullopt, true, std::nullopt});
    const QColor hollow = firstDot();
    const QImage before = view.panelPicture();
    view.panel()->update(UnlockPanelModel{2, 4, "Enter PIN", std::nullopt, true, std::nullopt});
    const QColor filled = firstDot();
    EXPECT_GT(filled.lightness(), hollow.lightness() + 60)
        << "hollow " << hollow.name().toStdString() << ", filled " << filled.name().toStdString();
    view.panel()->update(UnlockPanelModel{0, 4, "Enter PIN", "Wrong PIN", true, std::nullopt});
    EXPECT_NE(view.panelPicture(), before) << "a new line shows";
}

TEST(OverlayView, PanelAppearanceFollowsTheBackground) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(800, 600), true);
    view.apply(solid(Qt::black), std::nullopt);
    EXPECT_TRUE(view.panel()->isDarkAppearance());
    view.apply(solid(Qt::white), std::nullopt);
    EXPECT_FALSE(view.panel()->isDarkAppearance());
    OverlayContent tint = solid(Qt::white);
    tint.isTranslucent = true;
    view.apply(tint, std::nullopt);
    EXPECT_TRUE(view.panel()->isDarkAppearance());
    OverlayContent pic = picture();
    pic.background = Qt::white;
    view.apply(pic, std::nullopt);
    EXPECT_TRUE(view.panel()->isDarkAppearance());
    // Per-display snapshots win over the shared image.
    pic.snapshots[7] = QImage(10, 10, QImage::Format_RGB32);
    EXPECT_EQ(pic.picture(7).size(), QSize(10, 10));
    EXPECT_EQ(pic.picture(8).size(), QSize(64, 36));
    EXPECT_EQ(pic.picture(std::nullopt).size(), QSize(64, 36));
}

TEST(OverlayView, ReportsPointerAndKeyInput) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(800, 600), true);
    std::vector<std::string> pointer;
    std::vector<std::tuple<std::int64_t, std::uint64_t, std::optional<std::string>, std::string>> keys;
    view.onPointerInput = [&](const std::string& s) { pointer.push_back(s); };
    view.onKey = [&](std::int64_t code, std::uint64_t flags, const std::optional<std::string>& chars,
                     const std::string& source) { keys.emplace_back(code, flags, chars, source); };
    QMouseEvent left(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                     {});
    QMouseEvent right(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::RightButton,
                      Qt::RightButton, {});
    QMouseEvent middle(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::MiddleButton,
                       Qt::MiddleButton, {});
    QMouseEvent move(QEvent::MouseMove, QPointF(6, 6), QPointF(6, 6), Qt::NoButton, Qt::NoButton, {});
    for (QEvent* e : std::initializer_list<QEvent*>{&left, &right, &middle, &move})
        QCoreApplication::sendEvent(&view, e);
    EXPECT_EQ(pointer,
              (std::vector<std::string>{"mouseDown", "rightMouseDown", "otherMouseDown", "mouseMoved"}));

    QKeyEvent digit(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, 10, 0, 0, "1");
    QKeyEvent withSuper(QEvent::KeyPress, Qt::Key_Q, Qt::MetaModifier, 24, 0, KeyTranslation::mod4Mask, "q");
    QKeyEvent shift(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0, 0, "");
    for (QEvent* e : std::initializer_list<QEvent*>{&digit, &withSuper, &shift})
        QCoreApplication::sendEvent(&view, e);
    ASSERT_EQ(keys.size(), 2u) << "a modifier change is swallowed without a report";
    EXPECT_EQ(keys[0], std::make_tuple(std::int64_t{18}, std::uint64_t{0}, std::optional<std::string>("1"),
                                       std::string("window")));
    EXPECT_EQ(std::get<0>(keys[1]), 12);
    EXPECT_EQ(std::get<3>(keys[1]), "window-keyEquivalent");
}

TEST(AwayNoteView, LockScreenGeometryOnA1080pDisplay) {
    test::widgetsApp();
    AwayNoteView::Model model{"Back soon", std::string("Back around 3:00 PM"), AwayNoteStyle::lockScreen,
                              false};
    auto l = AwayNoteView::layout(model, 1920, 1080);
    EXPECT_EQ(l.mainFont.pixelSize(), 108);
    EXPECT_EQ(l.subFont.pixelSize(), 37);
    EXPECT_DOUBLE_EQ(l.blockCentreY, 1080 - 799.2);
    // The block of message, gap and return line is centred on that line (within rounding).
    const double top = l.mainFrame.top(), bottom = l.subFrame.bottom();
    EXPECT_NEAR((top + bottom) / 2, 1080 - 799.2, 1.0);
    EXPECT_NEAR(l.subFrame.top() - l.mainFrame.bottom(), std::round(0.18 * 108), 1.0) << "the gap";
    EXPECT_NEAR(l.mainFrame.center().x(), 960, 1.0);
    EXPECT_EQ(l.vignetteFrame, QRectF(96, 1080 - (799.2 - 237.6 + 475.2), 1728, 475.2));

    model.returnLine.reset();
    auto alone = AwayNoteView::layout(model, 1920, 1080);
    EXPECT_NEAR(alone.mainFrame.center().y(), 1080 - 799.2, 1.0) << "a lone message is centred on the line";
}

TEST(AwayNoteView, StickyNoteGeometryOnA1080pDisplay) {
    test::widgetsApp();
    AwayNoteView::Model model{"Back soon", std::string("Back around 3:00 PM"), AwayNoteStyle::stickyNote,
                              false};
    auto l = AwayNoteView::layout(model, 1920, 1080);
    EXPECT_EQ(l.mainFont.pixelSize(), 86);
    EXPECT_EQ(l.subFont.pixelSize(), 32);
    EXPECT_GE(l.cardFrame.width(), 653);
    EXPECT_NEAR(l.cardFrame.center().y(), 1080 - 831.6, 1.0);
    EXPECT_NEAR(l.cardFrame.center().x(), 960, 1.0);
    EXPECT_EQ(l.cardRotation, 2.5) << "tilted 2.5° clockwise";
    EXPECT_EQ(l.stripFrame, QRectF(0, 0, l.cardFrame.width(), std::round(0.055 * 1080)));
    EXPECT_GT(l.mainFrame.top(), l.stripFrame.bottom());
    EXPECT_LT(l.subFrame.bottom(), l.cardFrame.height());
}

TEST(AwayNoteView, ApplyingModels) {
    test::widgetsApp();
    AwayNoteView view;
    EXPECT_FALSE(view.apply(std::nullopt)) << "none when already hidden does nothing";
    AwayNoteView::Model model{"Lunch", std::nullopt, AwayNoteStyle::lockScreen, true};
    EXPECT_TRUE(view.apply(model));
    EXPECT_FALSE(view.isHidden());
    EXPECT_FALSE(view.apply(model));
    EXPECT_TRUE(view.apply(std::nullopt));
    EXPECT_TRUE(view.isHidden());
    EXPECT_TRUE(view.testAttribute(Qt::WA_TransparentForMouseEvents)) << "never takes clicks";
}

// However long the text, at most two lines come back, each within the width, the last one cut
// with an ellipsis; the result depends only on the text's beginning. The old wrapping measured
// ever shorter prefixes of the whole text and took minutes for 100,000 characters.
TEST(AwayNoteView, WrapsAnyLengthInOnePass) {
    test::widgetsApp();
    const QFont font =
        AwayNoteView::layout({"x", std::nullopt, AwayNoteStyle::lockScreen, false}, 1920, 1080).mainFont;
    const QFontMetricsF metrics(font);
    const double width = 1536;
    QString words;
    while (words.size() < 100000)
        words += QStringLiteral("lorem ipsum dolor ");
    const QString unbroken(100000, QLatin1Char('m'));
    for (const QString& text : {words, unbroken}) {
        const QStringList lines = AwayNoteView::wrap(font, text, width, 2);
        ASSERT_EQ(lines.size(), 2);
        for (const QString& line : lines)
            EXPECT_LE(metrics.horizontalAdvance(line), width + 1) << line.toStdString();
        EXPECT_TRUE(lines.last().endsWith(QChar(0x2026))) << lines.last().toStdString();
        EXPECT_EQ(AwayNoteView::wrap(font, text.left(2000), width, 2), lines);
    }
    EXPECT_EQ(AwayNoteView::wrap(font, QStringLiteral("  Back soon "), width, 2), QStringList{"Back soon"});
    EXPECT_EQ(AwayNoteView::wrap(font, QString(), width, 2), QStringList{});
    const QString meeting = QStringLiteral("Gone to the meeting about the budget");
    const QStringList two = AwayNoteView::wrap(font, meeting, 0.7 * metrics.horizontalAdvance(meeting), 2);
    ASSERT_EQ(two.size(), 2);
    EXPECT_EQ(two.join(' '), "Gone to the meeting about the budget") << "broken at a space, nothing lost";

    // The whole view lays out and paints such a text.
    AwayNoteView view;
    view.resize(960, 540);
    view.apply(AwayNoteView::Model{words.toStdString(), std::string("Back around 3:00 PM"),
                                   AwayNoteStyle::stickyNote, false});
    QImage image(view.size(), QImage::Format_ARGB32);
    view.render(&image);
    const auto l = AwayNoteView::layout(*view.model(), 960, 540);
    EXPECT_LE(l.mainFrame.height(), std::ceil(2 * QFontMetricsF(l.mainFont).lineSpacing()));
}

TEST(OverlayView, TheDriftingGradientLiesOverTheLiveTintToo) {
    test::widgetsApp();
    FakeScheduler scheduler;
    OverlayView view(scheduler, QSize(400, 300), true);
    OverlayContent tint;
    tint.isTranslucent = true;
    tint.background = QColor(40, 40, 40);
    tint.tintAlpha = 1.0; // opaque, so the rendering shows only what the view draws
    view.apply(tint, std::nullopt);
    const QImage plain = view.grab().toImage();
    view.startAnimations({OverlayAnimation::gradientDrift},
                         OverlayAnimationTuning::tuning(AnimationStrength::strong), 1);
    scheduler.advance(Seconds(5));
    const QImage drifting = view.grab().toImage();
    // The gradient lightens one corner and darkens the opposite one.
    EXPECT_GT(qGray(drifting.pixel(2, 297)), qGray(plain.pixel(2, 297)));
    EXPECT_LT(qGray(drifting.pixel(397, 2)), qGray(plain.pixel(397, 2)));
}

namespace {

// The note's yellow paper (and its paler strip), told apart from a dark overlay.
bool isNotePaper(QRgb c) {
    return qRed(c) > 230 && qGreen(c) > 200 && qBlue(c) < 200 && qRed(c) - qBlue(c) > 50;
}

QRect paperBounds(const QImage& image) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (isNotePaper(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

} // namespace

// The longest note the preferences keep (80 characters), as words that wrap onto two lines, as
// one unbroken word, and in Chinese, with and without the return line, on displays of many
// sizes: the tilted card stays inside the display and above the unlock panel.
TEST(AwayNoteView, AStickyNoteOfAnyLengthStaysOnItsDisplayAboveThePanel) {
    test::widgetsApp();
    const auto fill80 = [](const QString& unit) {
        QString text;
        while (text.size() < 80)
            text += unit;
        return text.left(80).toStdString();
    };
    const std::vector<std::string> texts = {
        "Back soon", fill80(QStringLiteral("Meeting upstairs with the whole team ")),
        fill80(QStringLiteral("W")), fill80(QString::fromUtf8("开会去了马上回来"))};
    const std::vector<QSize> sizes = {{1920, 1080}, {3840, 2160}, {1366, 768}, {1280, 1024},
                                      {1024, 768},  {800, 600},   {1080, 1920}};
    FakeScheduler scheduler;
    for (const QSize& size : sizes) {
        for (const std::string& text : texts) {
            for (const std::optional<std::string>& returnLine :
                 {std::optional<std::string>("Back around 10:45 PM"), std::optional<std::string>()}) {
                SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()) + " " + text +
                             (returnLine ? " with" : " without") + " return line");
                OverlayView view(scheduler, size, true);
                OverlayContent content = solid(QColor(16, 18, 24));
                content.awayNote = text;
                content.awayNoteReturnLine = returnLine;
                content.awayNoteStyle = AwayNoteStyle::stickyNote;
                view.apply(content, std::nullopt);
                const QRectF panel = view.panel()->geometry();
                ASSERT_EQ(view.awayNote()->keepClear(), panel);
                const auto l =
                    AwayNoteView::layout(*view.awayNote()->model(), size.width(), size.height(), panel);
                QTransform tilt;
                tilt.translate(l.cardFrame.center().x(), l.cardFrame.center().y());
                tilt.rotate(l.cardRotation);
                const QRectF card = tilt.mapRect(QRectF(-l.cardFrame.width() / 2, -l.cardFrame.height() / 2,
                                                        l.cardFrame.width(), l.cardFrame.height()));
                EXPECT_GE(card.top(), 0);
                EXPECT_GE(card.left(), 0);
                EXPECT_LE(card.right(), size.width());
                EXPECT_LT(card.bottom(), panel.top()) << "clear of the panel";
                EXPECT_LE(l.mainFrame.bottom(), l.cardFrame.height()) << "the message stays on the card";
                EXPECT_LE(l.subFrame.bottom(), l.cardFrame.height());
                if (size.width() > 1920)
                    continue; // the drawing is the same at any size; these are slow to grab
                // As drawn: the paper, tilted, inside the display and above the panel.
                const QRect paper = paperBounds(view.grab().toImage());
                ASSERT_FALSE(paper.isEmpty()) << "the note is drawn";
                EXPECT_GT(paper.top(), 0);
                EXPECT_GT(paper.left(), 0);
                EXPECT_LT(paper.right(), size.width() - 1);
                EXPECT_LT(paper.bottom(), panel.top());
            }
        }
    }
}
