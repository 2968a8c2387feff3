#include "unlock/UnlockPanel.h"
#include "TolvaCore/PinHasher.h"
#include "support/QtWidgetsApp.h"
#include "unlock/UnlockPanelModel.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {
PinRecord recordOfLength(std::int64_t length) {
    return PinRecord{{1}, {2}, 1, length};
}
} // namespace

TEST(UnlockPanelModel, DerivedFromTheLockState) {
    UnlockPanelModel::Inputs in;
    in.allowLoginPassword = false;
    auto m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.total, 4) << "no PIN record: four dots";
    EXPECT_EQ(m.filled, 0);
    EXPECT_EQ(m.title, "Enter PIN");
    EXPECT_EQ(m.note, std::nullopt);
    EXPECT_TRUE(m.inputEnabled);

    in.record = recordOfLength(6);
    in.typed = "123";
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.total, 6);
    EXPECT_EQ(m.filled, 3);

    in.record = recordOfLength(4);
    in.typed = "12345";
    EXPECT_EQ(UnlockPanelModel::derive(in).title, "Enter PIN") << "password use is off";
    in.allowLoginPassword = true;
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.title, "Type your login password, then press Enter");
    EXPECT_EQ(m.filled, 5);
    EXPECT_EQ(m.note, "Forgot your PIN? Type your login password and press Enter");
    in.typed = "1a";
    EXPECT_EQ(UnlockPanelModel::derive(in).title, "Type your login password, then press Enter");

    in.typed = "";
    in.remainingWait = 29.2;
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.message, "Too many attempts. Try again in 30 seconds");
    EXPECT_FALSE(m.inputEnabled);
    in.remainingWait.reset();
    in.verifying = true;
    EXPECT_FALSE(UnlockPanelModel::derive(in).inputEnabled);
    in.verifying = false;
    in.promptMessage = "Incorrect PIN";
    EXPECT_EQ(UnlockPanelModel::derive(in).message, "Incorrect PIN");
}

TEST(UnlockPanelModel, NotesInOrderOfPrecedence) {
    UnlockPanelModel::Inputs in;
    in.accessibilityGranted = false;
    in.secureInputActive = true;
    in.tapActive = false;
    EXPECT_EQ(
        UnlockPanelModel::derive(in).note,
        "Keyboard blocking stopped working on this session, so desktop shortcuts aren’t blocked. You can "
        "still dismiss the overlay by entering your PIN.");
    in.accessibilityGranted = true;
    EXPECT_EQ(UnlockPanelModel::derive(in).note,
              "Another program is holding the keyboard, so what you type goes to it, not here. Wait until "
              "it lets go, then type your PIN.");
    EXPECT_EQ(UnlockPanelModel::derive(in).title, "Keyboard in use by another program")
        << "no invitation to type while typing goes elsewhere";
    in.secureInputActive = false;
    EXPECT_EQ(UnlockPanelModel::derive(in).title, "Enter PIN");
    EXPECT_EQ(
        UnlockPanelModel::derive(in).note,
        "Keyboard blocking isn’t active, so system shortcuts may get through. You can still dismiss the "
        "overlay by entering your PIN.");
}

TEST(PinDotsView, SizesCountsAndCentring) {
    auto four = PinDotsView::layout(0, 4, 208, 12);
    EXPECT_EQ(four.count, 4);
    EXPECT_EQ(four.diameter, 9);
    const double row = 4 * 9 + 3 * 8.1;
    EXPECT_DOUBLE_EQ(four.x.front(), 104 - row / 2);
    EXPECT_DOUBLE_EQ(four.y, 1.5);
    EXPECT_EQ(PinDotsView::layout(3, 6, 208, 12).count, 6);
    EXPECT_EQ(PinDotsView::layout(10, 4, 208, 12).diameter, 7);
    auto many = PinDotsView::layout(20, 4, 208, 12);
    EXPECT_EQ(many.count, 16);
    EXPECT_EQ(many.diameter, 5);
    EXPECT_EQ(PinDotsView::layout(0, 0, 208, 12).count, 0);
}

TEST(UnlockPanel, AppliesModelsOnceAndFadesDotsDuringAWait) {
    test::widgetsApp();
    UnlockPanel panel;
    EXPECT_EQ(panel.size(), QSize(240, 161));
    UnlockPanelModel model{3, 6, "Enter PIN", std::nullopt, true, std::nullopt};
    EXPECT_TRUE(panel.update(model));
    EXPECT_FALSE(panel.update(model)) << "an equal model changes nothing";
    EXPECT_EQ(panel.statusLabel()->text(), "Enter PIN");
    EXPECT_EQ(panel.dots()->filled(), 3);
    EXPECT_EQ(panel.dots()->total(), 6);
    model.message = "Too many attempts. Try again in 30 seconds";
    model.inputEnabled = false;
    EXPECT_TRUE(panel.update(model));
    EXPECT_EQ(panel.statusLabel()->text(), "Too many attempts. Try again in 30 seconds");
    EXPECT_TRUE(panel.statusLabel()->styleSheet().contains("#ffff453a")) << "the message is red";
    EXPECT_FALSE(panel.dots()->isInputEnabled());
    EXPECT_EQ(panel.noteLabel()->text(), "");
}
