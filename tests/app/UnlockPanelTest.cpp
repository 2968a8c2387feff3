#include "unlock/UnlockPanel.h"
#include "TolvaCore/DefaultsStore.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/PinHasher.h"
#include "support/QtWidgetsApp.h"
#include "support/SettingsRig.h"
#include "unlock/FingerprintControl.h"
#include "unlock/UnlockPanelModel.h"

#include <QTextLayout>

#include <gtest/gtest.h>

#include <cmath>

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
    EXPECT_EQ(m.total, 5) << "a password shows what was typed, no hollow places of the PIN's length";
    EXPECT_EQ(m.note, std::nullopt) << "the title already asks for the password: no second sentence";
    in.typed = "1a";
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.title, "Type your login password, then press Enter");
    EXPECT_EQ(m.filled, 2);
    EXPECT_EQ(m.total, 2);
    in.typed = "12";
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.title, "Enter PIN");
    EXPECT_EQ(m.total, 4) << "a PIN being typed keeps its places";
    EXPECT_EQ(m.note, "Forgot your PIN? Type your login password and press Enter");

    in.typed = "";
    in.remainingWait = 29.2;
    m = UnlockPanelModel::derive(in);
    EXPECT_EQ(m.message, "Too many attempts. Try again in 30 seconds");
    EXPECT_FALSE(m.inputEnabled);
    EXPECT_EQ(m.note, std::nullopt) << "the wait holds the login password back too: no offer of it";
    in.remainingWait.reset();
    in.verifying = true;
    m = UnlockPanelModel::derive(in);
    EXPECT_FALSE(m.inputEnabled);
    EXPECT_EQ(m.title, "Checking…") << "keys typed now are refused, and the panel says why";
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
    const QColor message = panel.statusLabel()->palette().color(QPalette::WindowText);
    EXPECT_GT(message.red(), message.green() + 60) << "the message is red";
    EXPECT_GT(message.red(), message.blue() + 60);
    EXPECT_FALSE(panel.dots()->isInputEnabled());
    EXPECT_EQ(panel.noteLabel()->text(), "");
}

namespace {

// WCAG contrast of two opaque colours.
double contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

QColor over(const QColor& top, const QColor& below) {
    const double a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + below.redF() * (1 - a),
                            top.greenF() * a + below.greenF() * (1 - a),
                            top.blueF() * a + below.blueF() * (1 - a));
}

// The lines a label breaks its text into at its width, as its own layout does.
QStringList linesOf(const QLabel& label) {
    QTextLayout layout(label.text(), label.font());
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(label.contentsRect().width());
        lines << label.text().mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

// Everything a status line or a note may say in the interface language now.
std::vector<std::string> statusTexts() {
    return {L10n::Unlock::Prompt::pinTitle(),
            L10n::Unlock::Prompt::passwordTitle(),
            L10n::Unlock::Prompt::keyboardBusy(),
            L10n::Unlock::Prompt::checking(),
            L10n::Unlock::Error::passwordWrong(),
            L10n::Unlock::Error::pinDigitsOnly(),
            L10n::Unlock::Error::pinOrPasswordWrong(),
            L10n::Unlock::Error::pinWrong(),
            L10n::Unlock::Error::retryAfter(Preferences::durationTitle(30)),
            L10n::Unlock::Error::retryAfter(Preferences::durationTitle(299))};
}
std::vector<std::string> notes() {
    return {L10n::Unlock::Note::accessibilityRevoked(), L10n::Unlock::Note::secureInput(),
            L10n::Unlock::Note::tapInactive(), L10n::Unlock::Note::passwordHint()};
}

} // namespace

TEST(UnlockPanel, EveryTextFitsWholeInEveryLanguageOnBalancedLines) {
    test::widgetsApp();
    auto prefs = std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>());
    for (AppLanguage language : AppLanguage::allCases()) {
        test::InterfaceLanguage interface(prefs, language);
        const std::string name(language.rawValue());
        const bool spacedWords = name == "en" || name == "de" || name == "fr" || name == "ko";
        for (const std::string& status : statusTexts()) {
            for (const std::string& note : notes()) {
                SCOPED_TRACE(name + ": " + status + " / " + note);
                QWidget overlay;
                overlay.resize(1200, 800);
                UnlockPanel panel(&overlay);
                panel.move(480, 320);
                const QPoint centre = panel.geometry().center();
                panel.update(UnlockPanelModel{0, 4, status, std::nullopt, true, note});
                EXPECT_LE(panel.width(), UnlockPanel::maxPanelWidth);
                EXPECT_GE(panel.height(), UnlockPanel::panelHeight);
                EXPECT_LE(std::abs(panel.geometry().center().x() - centre.x()), 1)
                    << "it grows about its centre";
                EXPECT_LE(std::abs(panel.geometry().center().y() - centre.y()), 1);
                for (QLabel* label : {panel.statusLabel(), panel.noteLabel()}) {
                    EXPECT_GE(label->height(), label->heightForWidth(label->width())) << "no line cut off";
                    EXPECT_TRUE(panel.rect().contains(label->geometry())) << "inside the card";
                    const QStringList lines = linesOf(*label);
                    // Languages that put spaces between words: never one word alone on the
                    // last line.
                    if (lines.size() > 1 && spacedWords) {
                        EXPECT_TRUE(lines.back().contains(' ')) << lines.join(" | ").toStdString();
                    }
                }
                EXPECT_GT(panel.noteLabel()->geometry().top(), panel.statusLabel()->geometry().bottom())
                    << "the note under the status line, not over it";
            }
        }
    }
}

TEST(UnlockPanel, ShortTextsKeepTheSmallCardAndTheContentFollowsItsSize) {
    test::widgetsApp();
    auto prefs = std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>());
    test::InterfaceLanguage english(prefs);
    UnlockPanel panel;
    panel.update(UnlockPanelModel{0, 4, "Enter PIN", std::nullopt, true, std::nullopt});
    EXPECT_EQ(panel.size(), QSize(UnlockPanel::panelWidth, UnlockPanel::panelHeight));
    EXPECT_EQ(panel.statusLabel()->width(), UnlockPanel::panelWidth - 16);

    // "Too many attempts. Try again in 30 seconds" takes two lines: both of even length.
    panel.update(UnlockPanelModel{0, 4, "Enter PIN",
                                  L10n::Unlock::Error::retryAfter(Preferences::durationTitle(30)), false,
                                  std::nullopt});
    const QStringList lines = linesOf(*panel.statusLabel());
    ASSERT_EQ(lines.size(), 2) << lines.join(" | ").toStdString();
    EXPECT_LT(panel.statusLabel()->width(), UnlockPanel::panelWidth - 16) << "narrowed to balance the lines";
    EXPECT_TRUE(lines.back().contains(' ')) << lines.join(" | ").toStdString();

    // Resized from outside: the content follows the card's width.
    panel.update(UnlockPanelModel{0, 4, "Enter PIN", std::nullopt, true, std::nullopt});
    panel.show();
    panel.resize(400, 200);
    EXPECT_EQ(panel.statusLabel()->width(), 400 - 16);
    EXPECT_EQ(panel.statusLabel()->geometry().center().x(), panel.rect().center().x());
    EXPECT_EQ(panel.dots()->width(), 400 - 32);
    EXPECT_EQ(panel.icon()->geometry().center().x(), panel.rect().center().x());
    auto* fingerprint = new FingerprintControl(&panel);
    EXPECT_EQ(fingerprint->geometry().center().x(), panel.rect().center().x()) << "in the icon's place";
    panel.resize(300, 200);
    EXPECT_EQ(fingerprint->geometry().center().x(), panel.rect().center().x());
}

TEST(UnlockPanel, TextsReadOnTheCardWhateverLiesBehindIt) {
    test::widgetsApp();
    UnlockPanel panel;
    for (bool dark : {true, false}) {
        SCOPED_TRACE(dark ? "dark card" : "light card");
        panel.setDarkAppearance(dark);
        // The worst backdrop for each card: white behind the dark one, black behind the light one.
        const QColor card = over(panel.cardColor(), dark ? Qt::white : Qt::black);
        auto textOn = [&](QLabel* label) { return over(label->palette().color(QPalette::WindowText), card); };
        panel.update(UnlockPanelModel{0, 4, "Enter PIN", std::nullopt, true, std::string("A note")});
        EXPECT_GE(contrast(textOn(panel.noteLabel()), card), 4.5);
        EXPECT_GE(contrast(textOn(panel.statusLabel()), card), 4.5);
        panel.update(
            UnlockPanelModel{0, 4, "Enter PIN", std::string("Incorrect PIN"), true, std::string("A note")});
        EXPECT_GE(contrast(textOn(panel.statusLabel()), card), 4.5) << "the red message too";
    }
    EXPECT_GE(panel.noteLabel()->font().pixelSize(), 12) << "a note readable from a step away";
    EXPECT_GE(panel.statusLabel()->font().pixelSize(), 13);
}
