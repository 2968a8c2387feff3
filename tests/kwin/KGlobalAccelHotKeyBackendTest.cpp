// The global shortcut through KWin's kglobalaccel on a real headless KWin: the settings' choice
// registers, a press is reported, a shortcut another action has is refused as taken, and an
// unregistered shortcut reaches applications again.
#include "kwin/KWinTestSupport.h"
#include "wayland/WaylandTestSupport.h"

#include "platform/HotKeyManager.h"
#include "platform/dbus/KGlobalAccelHotKeyBackend.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QKeySequence>

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

namespace tolva {
namespace {

using namespace tolva::test;

const HotKeyModifiers controlOptionCommand{HotKeyModifiers::control | HotKeyModifiers::option |
                                           HotKeyModifiers::command};
// Virtual key codes of the settings: 37 is L, 40 is K.
const HotKey lockKeys{37, controlOptionCommand};
const HotKey otherKeys{40, controlOptionCommand};
const std::initializer_list<std::uint32_t> chord = {KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA};

QDBusMessage kglobalaccel(const QString& method, const QVariantList& arguments) {
    auto message = QDBusMessage::createMethodCall("org.kde.kglobalaccel", "/kglobalaccel",
                                                  "org.kde.KGlobalAccel", method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
}

// The keys kglobalaccel holds for an action, as Qt key combinations.
QList<int> shortcutOf(const QStringList& action) {
    const auto reply = kglobalaccel("shortcut", {action});
    if (reply.type() == QDBusMessage::ErrorMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QList<int>>(reply.arguments().first());
}

const QStringList lockAction = {"org.tolva.Screen", "lock", "Tolva Screen", "Lock"};
const int ctrlAltMeta = int(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);

class KGlobalAccelHotKeyBackendTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterKWinSession())
            GTEST_SKIP() << "needs the headless KWin of the ctest fixture `kwin`";
        ASSERT_TRUE(KGlobalAccelHotKeyBackend::isAvailable());
        // kglobalaccel keeps an action's keys after its program went: a test before this one (or
        // the real program's) may have left the lock action holding them.
        kglobalaccel("unregister", {lockAction[0], lockAction[1]});
        ASSERT_TRUE(shortcutOf(lockAction).isEmpty());
        input = std::make_unique<KWinInput>();
        ASSERT_TRUE(input->isReady()) << input->error();
        auto backend = std::make_unique<KGlobalAccelHotKeyBackend>();
        manager = std::make_unique<HotKeyManager>(std::move(backend));
        manager->onPressed = [this] { ++presses; };
    }

    // Taps `key` with the chord until the shortcut fires, a few times: the seat's first keys may
    // come before KWin set the fake keyboard up.
    bool firesOn(std::uint32_t key) {
        return driveUntil(
            [&] {
                input->tap(key, chord);
                return driveUntil([&] { return presses > 0; }, 500ms);
            },
            8s);
    }

    std::unique_ptr<KWinInput> input;
    std::unique_ptr<HotKeyManager> manager;
    int presses = 0;
};

TEST_F(KGlobalAccelHotKeyBackendTest, RegistersTheChosenShortcutAndReportsItsPresses) {
    ASSERT_TRUE(manager->registerHotKey(lockKeys));
    EXPECT_FALSE(manager->refusal());
    EXPECT_EQ(shortcutOf(lockAction), QList<int>{ctrlAltMeta | Qt::Key_L});
    EXPECT_TRUE(firesOn(KEY_L)) << "Control+Alt+Meta+L was not reported";

    // A new choice replaces the old one.
    ASSERT_TRUE(manager->registerHotKey(otherKeys));
    EXPECT_EQ(shortcutOf(lockAction), QList<int>{ctrlAltMeta | Qt::Key_K});
    presses = 0;
    EXPECT_TRUE(firesOn(KEY_K)) << "Control+Alt+Meta+K was not reported";
}

TEST_F(KGlobalAccelHotKeyBackendTest, ReleasesTheShortcutToApplications) {
    ASSERT_TRUE(manager->registerHotKey(lockKeys));
    ASSERT_TRUE(firesOn(KEY_L));
    ASSERT_TRUE(manager->registerHotKey(std::nullopt));
    EXPECT_TRUE(shortcutOf(lockAction).isEmpty());

    // The keys reach the active window instead of being taken as the shortcut.
    KeyLoggingWindow window;
    ASSERT_TRUE(driveUntil([&] { return window.isMapped() && window.hasKeyboardFocus(); }));
    presses = 0;
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_L, chord);
            return driveUntil([&] { return window.keyPresses() > 0; }, 500ms);
        },
        8s))
        << "the released shortcut did not reach the window";
    EXPECT_EQ(presses, 0);
}

TEST_F(KGlobalAccelHotKeyBackendTest, RefusesAShortcutAnotherActionHasAsTaken) {
    const QStringList other = {"org.tolva.test.other", "grabber", "Another program", "Grabber"};
    ASSERT_NE(kglobalaccel("doRegister", {other}).type(), QDBusMessage::ErrorMessage);
    const auto set =
        kglobalaccel("setShortcut", {other, QVariant::fromValue(QList<int>{ctrlAltMeta | Qt::Key_L}), 6u});
    ASSERT_NE(set.type(), QDBusMessage::ErrorMessage) << set.errorMessage().toStdString();
    ASSERT_EQ(shortcutOf(other), QList<int>{ctrlAltMeta | Qt::Key_L})
        << "the other action did not get the keys";
    struct Unregister {
        ~Unregister() { kglobalaccel("unregister", {QString("org.tolva.test.other"), QString("grabber")}); }
    } unregister;

    EXPECT_FALSE(manager->registerHotKey(lockKeys));
    ASSERT_TRUE(manager->refusal());
    EXPECT_TRUE(manager->refusal()->isTaken());
    EXPECT_EQ(manager->refusal()->hotKey, lockKeys);
    EXPECT_TRUE(shortcutOf(lockAction).isEmpty());

    // A free shortcut still registers.
    EXPECT_TRUE(manager->registerHotKey(otherKeys));
    EXPECT_FALSE(manager->refusal());
}

} // namespace
} // namespace tolva
