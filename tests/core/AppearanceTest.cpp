#include "TolvaCore/AwayNoteStyle.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/OverlayAnimation.h"
#include "TolvaCore/OverlayContentMode.h"
#include "TolvaCore/SRGBColor.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace tolva;

TEST(OverlayContentMode, ClampLiveTintAlpha) {
    const std::pair<double, double> cases[] = {
        {0.01, 0.02}, {0.02, 0.02}, {0.021, 0.02}, {0.125, 0.13}, {0.3449, 0.34},
        {0.5, 0.5},   {0.6, 0.5},   {0.9, 0.5},    {-3, 0.02},    {std::nan(""), 0.02}};
    for (auto [in, out] : cases)
        EXPECT_DOUBLE_EQ(OverlayContentMode::clampLiveTintAlpha(in), out) << in;
}

TEST(OverlayContentMode, RawValuesAreExactAndTitlesLocalised) {
    EXPECT_EQ(OverlayContentMode::fromRawValue("snapshot"), OverlayContentMode(OverlayContentMode::snapshot));
    EXPECT_EQ(OverlayContentMode::fromRawValue("Snapshot"), std::nullopt);
    EXPECT_EQ(OverlayContentMode::fromRawValue(""), std::nullopt);
    std::vector<std::string> raw;
    for (auto mode : OverlayContentMode::allCases())
        raw.emplace_back(mode.rawValue());
    EXPECT_EQ(raw, (std::vector<std::string>{"liveTint", "solidColor", "snapshot", "image"}));

    EXPECT_EQ(OverlayContentMode(OverlayContentMode::liveTint).title(), "Transparent Overlay");
    EXPECT_EQ(OverlayContentMode(OverlayContentMode::image).detail(),
              "The image you choose, scaled to fill each display.");
    EXPECT_TRUE(OverlayContentMode(OverlayContentMode::snapshot).needsScreenRecording());
    EXPECT_FALSE(OverlayContentMode(OverlayContentMode::image).needsScreenRecording());
    EXPECT_EQ(AnimationStrength(AnimationStrength::strong).title(), "Noticeable");
    EXPECT_EQ(AwayNoteStyle(AwayNoteStyle::stickyNote).title(), "Sticky Note");
    EXPECT_EQ(OverlayAnimation(OverlayAnimation::breathing).title(), "Breathing Brightness");
    EXPECT_EQ(AwayNoteStyle::fromRawValue("stickynote"), std::nullopt);
}

TEST(SRGBColor, HexParsingAndPrinting) {
    auto reference = SRGBColor::fromHex("#101218");
    ASSERT_TRUE(reference);
    EXPECT_DOUBLE_EQ(reference->red, 16 / 255.0);
    EXPECT_DOUBLE_EQ(reference->green, 18 / 255.0);
    EXPECT_DOUBLE_EQ(reference->blue, 24 / 255.0);
    EXPECT_EQ(SRGBColor::fromHex("101218"), reference);
    EXPECT_EQ(SRGBColor::fromHex(" #101218\n"), reference);
    // Any Unicode white space or line end around it, as a paste from a document brings.
    EXPECT_EQ(SRGBColor::fromHex("\u00A0#101218\u00A0"), reference); // no-break space
    EXPECT_EQ(SRGBColor::fromHex("\u3000\u2028#101218\u2029"),
              reference); // ideographic space, line and paragraph separators
    EXPECT_EQ(SRGBColor::fromHex("\t\u0085#101218\u202F\u2003\r\n"), reference);
    EXPECT_EQ(SRGBColor::fromHex("#10\u00A01218"), std::nullopt); // only the ends are trimmed
    EXPECT_EQ(SRGBColor::fromHex("\u200B#101218"), std::nullopt); // a zero-width space is no white space
    EXPECT_EQ(SRGBColor::fromHex("\u00A0"), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex("#101218\xC2"), std::nullopt); // a cut-off sequence is not trimmed
    EXPECT_EQ(SRGBColor::fromHex("#1012"), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex("##101218"), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex("#10121G"), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex("+10121"), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex(""), std::nullopt);
    EXPECT_EQ(SRGBColor::fromHex("abcdef"), SRGBColor::fromHex("ABCDEF"));

    EXPECT_EQ(SRGBColor(1, 0.5, 0).hexString(), "#FF8000");
    EXPECT_EQ(SRGBColor::defaultOverlay().hexString(), "#101218");
    EXPECT_EQ(SRGBColor::fromHex("#a0b1c2")->hexString(), "#A0B1C2");
    SRGBColor clamped(-0.2, 0.5, 1.7);
    EXPECT_EQ(clamped, SRGBColor(0, 0.5, 1));
}

TEST(OverlayAnimation, AppliesToModesAndTuningTable) {
    for (auto mode : OverlayContentMode::allCases()) {
        const bool picture = mode == OverlayContentMode::snapshot || mode == OverlayContentMode::image;
        EXPECT_EQ(OverlayAnimation(OverlayAnimation::pixelShift).applies(mode), picture) << mode.rawValue();
        EXPECT_TRUE(OverlayAnimation(OverlayAnimation::breathing).applies(mode));
        EXPECT_TRUE(OverlayAnimation(OverlayAnimation::gradientDrift).applies(mode));
    }
    EXPECT_EQ(OverlayAnimationTuning::tuning(AnimationStrength::medium),
              (OverlayAnimationTuning{6, 20, 0.1, 16, 0.15, 40}));
    EXPECT_EQ(OverlayAnimationTuning::tuning(AnimationStrength::subtle),
              (OverlayAnimationTuning{2, 45, 0.03, 30, 0.05, 80}));
    EXPECT_EQ(OverlayAnimationTuning::tuning(AnimationStrength::strong),
              (OverlayAnimationTuning{16, 10, 0.25, 8, 0.35, 20}));
    double largest = 0;
    for (auto strength : AnimationStrength::allCases())
        largest = std::max(largest, OverlayAnimationTuning::tuning(strength).pixelShiftStep);
    EXPECT_EQ(largest, OverlayAnimationTuning::maxPixelShiftStep);
    EXPECT_EQ(sortedRawValues({OverlayAnimation::gradientDrift, OverlayAnimation::breathing,
                               OverlayAnimation::pixelShift}),
              (std::vector<std::string>{"breathing", "gradientDrift", "pixelShift"}));
}
