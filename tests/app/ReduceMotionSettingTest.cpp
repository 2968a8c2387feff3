// The desktop's Reduce Motion wish, read from a settings portal on a private bus.
#include "platform/dbus/ReduceMotionSetting.h"

#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace tolva;
using test::PrivateBus;

namespace {

const QString portalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString interfaceGroup = QStringLiteral("org.gnome.desktop.interface");

// The settings portal's Read of enable-animations, nesting the value in two variants as newer
// portals do. While `holdAnswers` is set, reads are kept unanswered until `answerHeld`, as a
// portal the bus is still starting keeps them.
class FakeSettingsPortal : public QDBusVirtualObject {
public:
    std::optional<bool> enableAnimations;
    bool holdAnswers = false;
    int reads = 0;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != settingsInterface || message.member() != QLatin1String("Read"))
            return false;
        ++reads;
        if (holdAnswers)
            held_.push_back(message);
        else
            answer(message, connection);
        return true;
    }
    void answerHeld(const QDBusConnection& connection) {
        for (const QDBusMessage& message : held_)
            answer(message, connection);
        held_.clear();
    }

private:
    void answer(const QDBusMessage& message, const QDBusConnection& connection) {
        QDBusConnection bus(connection);
        if (!enableAnimations || message.arguments().value(0) != interfaceGroup ||
            message.arguments().value(1) != QLatin1String("enable-animations"))
            bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                                              QStringLiteral("Requested setting not found")));
        else
            bus.send(message.createReply(
                QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(*enableAnimations))))));
    }
    std::vector<QDBusMessage> held_;
};

void announce(QDBusConnection& bus, const QString& key, const QVariant& value) {
    QDBusMessage signal =
        QDBusMessage::createSignal(portalPath, settingsInterface, QStringLiteral("SettingChanged"));
    signal << interfaceGroup << key << QVariant::fromValue(QDBusVariant(value));
    bus.send(signal);
}

struct PortalOnBus {
    PrivateBus bus;
    FakeSettingsPortal portal;
    QDBusConnection portalBus = bus.connect(QStringLiteral("portal"));
    PortalOnBus() {
        EXPECT_TRUE(portalBus.registerVirtualObject(portalPath, &portal));
        EXPECT_TRUE(portalBus.registerService(portalName));
    }
    ~PortalOnBus() { portalBus.unregisterObject(portalPath); }
    // A round trip through the portal: every message sent before it has been handled there.
    void settle() {
        QDBusConnection probe = bus.connect(QStringLiteral("probe"));
        QDBusMessage ping = QDBusMessage::createMethodCall(
            portalName, portalPath, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        probe.call(ping, QDBus::BlockWithGui, 5000);
        test::pumpEvents(std::chrono::milliseconds(20));
    }
};

} // namespace

TEST(ReduceMotionSetting, ReadOnceAtStartThenFollowsTheChangeSignal) {
    test::qtApp();
    PortalOnBus desktop;
    desktop.portal.enableAnimations = false; // the desktop asks for less motion

    ReduceMotionSetting setting(desktop.bus.connect(QStringLiteral("program")));
    std::vector<bool> heard;
    setting.onChanged = [&](bool reduce) { heard.push_back(reduce); };
    setting.follow();
    ASSERT_TRUE(test::waitUntil([&] { return setting.reduceMotion(); })) << "the first answer";
    EXPECT_EQ(heard, std::vector<bool>{true});

    // Asking for the value, as every lock does, never goes to the portal again.
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(setting.reduceMotion());
    EXPECT_EQ(desktop.portal.reads, 1);

    announce(desktop.portalBus, QStringLiteral("clock-format"), QVariant(true)); // another setting
    announce(desktop.portalBus, QStringLiteral("enable-animations"), QVariant(true));
    ASSERT_TRUE(test::waitUntil([&] { return !setting.reduceMotion(); })) << "the change is heard";
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
    announce(desktop.portalBus, QStringLiteral("enable-animations"), QVariant(false));
    ASSERT_TRUE(test::waitUntil([&] { return setting.reduceMotion(); }));
    // A value that is no boolean lets the effects run again; the same value twice is one change
    // (the signals arrive in order, so the last one heard means the one between was handled).
    announce(desktop.portalBus, QStringLiteral("enable-animations"), QVariant(QStringLiteral("false")));
    announce(desktop.portalBus, QStringLiteral("enable-animations"), QVariant(true));
    announce(desktop.portalBus, QStringLiteral("enable-animations"), QVariant(false));
    ASSERT_TRUE(test::waitUntil([&] { return heard.size() >= 5; }));
    EXPECT_EQ(heard, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_TRUE(setting.reduceMotion());
    EXPECT_EQ(desktop.portal.reads, 1) << "followed, never read again";
}

TEST(ReduceMotionSetting, AnAnswerThatTakesItsTimeHoldsNothing) {
    test::qtApp();
    PortalOnBus desktop;
    desktop.portal.enableAnimations = false;
    desktop.portal.holdAnswers = true; // the bus is still starting the portal

    ReduceMotionSetting setting(desktop.bus.connect(QStringLiteral("program")));
    std::vector<bool> heard;
    setting.onChanged = [&](bool reduce) { heard.push_back(reduce); };
    setting.follow(); // returns with the read still unanswered
    ASSERT_TRUE(test::waitUntil([&] { return desktop.portal.reads == 1; }));
    EXPECT_FALSE(setting.reduceMotion()) << "a lock meanwhile uses what is known: off";
    EXPECT_TRUE(heard.empty());

    desktop.portal.answerHeld(desktop.portalBus);
    ASSERT_TRUE(test::waitUntil([&] { return setting.reduceMotion(); }));
    EXPECT_EQ(heard, std::vector<bool>{true});
    EXPECT_EQ(desktop.portal.reads, 1);
}

TEST(ReduceMotionSetting, WithoutAPortalOrItsSettingMotionStaysOn) {
    test::qtApp();
    PrivateBus bus;
    {
        // No portal on the bus at all.
        ReduceMotionSetting setting(bus.connect(QStringLiteral("program")));
        bool heard = false;
        setting.onChanged = [&](bool) { heard = true; };
        setting.follow();
        EXPECT_FALSE(setting.reduceMotion());
        test::pumpEvents(std::chrono::milliseconds(50));
        EXPECT_FALSE(setting.reduceMotion());
        EXPECT_FALSE(heard);
    }
    {
        // A portal without the setting answers an error.
        PortalOnBus desktop;
        ReduceMotionSetting setting(desktop.bus.connect(QStringLiteral("program")));
        bool heard = false;
        setting.onChanged = [&](bool) { heard = true; };
        setting.follow();
        ASSERT_TRUE(test::waitUntil([&] { return desktop.portal.reads == 1; }));
        desktop.settle();
        EXPECT_FALSE(setting.reduceMotion());
        EXPECT_FALSE(heard);
    }
    // No bus.
    ReduceMotionSetting unconnected(QDBusConnection(QStringLiteral("never-connected")));
    unconnected.follow();
    EXPECT_FALSE(unconnected.reduceMotion());
}

TEST(ReduceMotionSetting, SettingValues) {
    EXPECT_TRUE(ReduceMotionSetting::reducesMotion(false));
    EXPECT_FALSE(ReduceMotionSetting::reducesMotion(true));
    EXPECT_TRUE(ReduceMotionSetting::reducesMotion(QVariant::fromValue(QDBusVariant(false))));
    EXPECT_TRUE(ReduceMotionSetting::reducesMotion(
        QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(false))))));
    EXPECT_FALSE(ReduceMotionSetting::reducesMotion(QStringLiteral("false")));
    EXPECT_FALSE(ReduceMotionSetting::reducesMotion(0));
    EXPECT_FALSE(ReduceMotionSetting::reducesMotion(QVariant()));
}
