// The one pending timed lock ("--lock-in", D-Bus LockIn) and how the tray shows and cancels it.
#include "app/TimedLock.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "log/Log.h"
#include "support/LockRig.h"
#include "ui/StatusMenuController.h"

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;

namespace {

// 1 700 000 000 is 22:13:20 UTC.
const auto evening = std::chrono::system_clock::from_time_t(1'700'000'000);

QAction* item(QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

} // namespace

TEST(TimedLock, LocksOnceAfterTheDelayALaterRequestReplacesAnEarlierOne) {
    FakeScheduler scheduler;
    ScopedLogCapture log;
    std::vector<std::string> locks;
    int changes = 0;
    const Instant start = scheduler.now();
    TimedLock timed(
        scheduler, [&](const std::string& reason) { locks.push_back(reason); },
        [&] {
            return evening +
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(scheduler.now() - start);
        });
    timed.onChange = [&] { ++changes; };
    EXPECT_EQ(timed.pendingAt(), std::nullopt);
    EXPECT_FALSE(timed.cancel()) << "nothing to call off";

    timed.schedule(0.25, "launch argument");
    EXPECT_EQ(timed.pendingAt(), evening + 250ms);
    scheduler.advance(Seconds(0.2));
    EXPECT_TRUE(locks.empty());
    scheduler.advance(Seconds(0.05));
    EXPECT_EQ(locks, std::vector<std::string>{"launch argument"});
    EXPECT_EQ(timed.pendingAt(), std::nullopt) << "no longer pending once it came";
    EXPECT_EQ(changes, 2);

    // A second request before the first came: only the second counts.
    timed.schedule(60, "dbus");
    scheduler.advance(Seconds(10));
    timed.schedule(5, "dbus");
    scheduler.advance(Seconds(60));
    EXPECT_EQ(locks, (std::vector<std::string>{"launch argument", "dbus"}));

    // Called off: nothing comes, and the log says so.
    timed.schedule(30, "dbus");
    EXPECT_TRUE(timed.cancel());
    EXPECT_EQ(timed.pendingAt(), std::nullopt);
    scheduler.advance(Seconds(3600));
    EXPECT_EQ(locks.size(), 2u);
    EXPECT_EQ(log.messages("ui"), std::vector<std::string>{"timed lock cancelled (dbus)"});
}

TEST(TimedLock, TheTrayShowsWhenItComesAndCallsItOff) {
    LockRig w;
    ::setenv("TZ", "UTC", 1);
    ::setenv("LC_ALL", "de_DE.UTF-8", 1); // a 24-hour clock on the desktop
    Localization::configure(w.prefs);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    int locks = 0;
    TimedLock timed(
        w.scheduler, [&](const std::string&) { ++locks; }, [] { return evening; });
    menu.pendingLock = [&] { return timed.pendingAt(); };
    menu.onCancelPendingLock = [&] { timed.cancel(); };

    for (AppLanguage language : {AppLanguage::en, AppLanguage::de, AppLanguage::ja}) {
        Localization::shared().setOverride(language);
        const QString title =
            QString::fromStdString(L10n::string("menu.pendingLock.title")).replace("%@", "22:18");
        const QString cancel = QString::fromStdString(L10n::string("menu.pendingLock.cancel"));
        menu.rebuild();
        EXPECT_EQ(item(*menu.menu(), title), nullptr) << "nothing pending, nothing shown";
        timed.schedule(300, "dbus");
        menu.rebuild();
        QAction* line = item(*menu.menu(), title);
        ASSERT_NE(line, nullptr) << title.toStdString();
        EXPECT_FALSE(line->isEnabled()) << "a line to read";
        QAction* callOff = item(*menu.menu(), cancel);
        ASSERT_NE(callOff, nullptr) << cancel.toStdString();
        EXPECT_TRUE(callOff->isEnabled());
        callOff->trigger();
        EXPECT_EQ(timed.pendingAt(), std::nullopt);
        menu.rebuild();
        EXPECT_EQ(item(*menu.menu(), cancel), nullptr);
    }
    Localization::shared().setOverride(AppLanguage::en);
    menu.rebuild();
    timed.schedule(300, "dbus");
    menu.rebuild();
    EXPECT_NE(item(*menu.menu(), QStringLiteral("Overlay Turns On at 22:18")), nullptr);
    EXPECT_NE(item(*menu.menu(), QStringLiteral("Cancel Timed Turn-On")), nullptr);
    w.scheduler.advance(Seconds(300));
    EXPECT_EQ(locks, 1);
    Localization::shared().setOverride(std::nullopt);
}
