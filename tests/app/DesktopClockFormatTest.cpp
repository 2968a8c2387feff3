// The desktop's 12- or 24-hour clock, read from a settings portal on a private bus.
#include "platform/dbus/DesktopClockFormat.h"

#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

using namespace tolva;
using test::PrivateBus;
using HourCycle = TimeOfDay::HourCycle;

namespace {

const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");

// The settings portal's Read, answering clock-format when it has one (as GNOME's does), nesting
// the value in two variants as newer portals do.
class FakeSettingsPortal : public QDBusVirtualObject {
public:
    std::optional<QString> clockFormat;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != settingsInterface || message.member() != QLatin1String("Read"))
            return false;
        QDBusConnection bus(connection);
        if (!clockFormat || message.arguments().value(0) != QLatin1String("org.gnome.desktop.interface") ||
            message.arguments().value(1) != QLatin1String("clock-format"))
            bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                                              QStringLiteral("Requested setting not found")));
        else
            bus.send(message.createReply(
                QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(*clockFormat))))));
        return true;
    }
};

void announce(QDBusConnection& bus, const QString& key, const QString& value) {
    QDBusMessage signal =
        QDBusMessage::createSignal(portalPath, settingsInterface, QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.gnome.desktop.interface") << key
           << QVariant::fromValue(QDBusVariant(value));
    bus.send(signal);
}

} // namespace

TEST(DesktopClockFormat, FollowsTheDesktopsClockSetting) {
    test::qtApp();
    PrivateBus bus;
    FakeSettingsPortal portal;
    portal.clockFormat = QStringLiteral("24h");
    QDBusConnection portalBus = bus.connect(QStringLiteral("portal"));
    ASSERT_TRUE(portalBus.registerVirtualObject(portalPath, &portal));
    ASSERT_TRUE(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));

    DesktopClockFormat clock(bus.connect(QStringLiteral("program")));
    std::vector<std::optional<HourCycle>> heard;
    clock.onChanged = [&](std::optional<HourCycle> cycle) { heard.push_back(cycle); };
    clock.follow();
    ASSERT_TRUE(test::waitUntil([&] { return heard.size() == 1; })) << "the first answer";
    EXPECT_EQ(heard[0], HourCycle::twentyFour);

    announce(portalBus, QStringLiteral("enable-animations"), QStringLiteral("12h")); // another setting
    announce(portalBus, QStringLiteral("clock-format"), QStringLiteral("12h"));
    ASSERT_TRUE(test::waitUntil([&] { return heard.size() == 2; }));
    EXPECT_EQ(heard[1], HourCycle::twelve);
    announce(portalBus, QStringLiteral("clock-format"), QStringLiteral("sundial"));
    ASSERT_TRUE(test::waitUntil([&] { return heard.size() == 3; }));
    EXPECT_EQ(heard[2], std::nullopt) << "an unknown value is no setting";

    // A desktop whose portal has no such setting: nothing is heard, the locale decides.
    portal.clockFormat.reset();
    DesktopClockFormat elsewhere(bus.connect(QStringLiteral("program")));
    std::vector<std::optional<HourCycle>> heardElsewhere;
    elsewhere.onChanged = [&](std::optional<HourCycle> cycle) { heardElsewhere.push_back(cycle); };
    elsewhere.follow();
    QDBusConnection probe = bus.connect(QStringLiteral("probe"));
    QDBusMessage read = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                                       portalPath, settingsInterface, QStringLiteral("Read"));
    read << QStringLiteral("org.gnome.desktop.interface") << QStringLiteral("clock-format");
    EXPECT_EQ(probe.call(read, QDBus::BlockWithGui, 5000).type(), QDBusMessage::ErrorMessage);
    // The portal answered the program's read before it announces this change: only the change
    // is heard.
    announce(portalBus, QStringLiteral("clock-format"), QStringLiteral("24h"));
    ASSERT_TRUE(test::waitUntil([&] { return !heardElsewhere.empty(); }));
    test::pumpEvents(std::chrono::milliseconds(20));
    EXPECT_EQ(heardElsewhere, (std::vector<std::optional<HourCycle>>{HourCycle::twentyFour}));

    portalBus.unregisterObject(portalPath);
}

TEST(DesktopClockFormat, SettingValues) {
    EXPECT_EQ(DesktopClockFormat::fromSetting(QStringLiteral("24h")), HourCycle::twentyFour);
    EXPECT_EQ(DesktopClockFormat::fromSetting(QStringLiteral("12h")), HourCycle::twelve);
    EXPECT_EQ(DesktopClockFormat::fromSetting(QVariant::fromValue(QDBusVariant(QStringLiteral("24h")))),
              HourCycle::twentyFour);
    EXPECT_EQ(DesktopClockFormat::fromSetting(QStringLiteral("24H")), std::nullopt);
    EXPECT_EQ(DesktopClockFormat::fromSetting(24), std::nullopt);
    EXPECT_EQ(DesktopClockFormat::fromSetting(QVariant()), std::nullopt);
}
