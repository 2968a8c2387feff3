// The tray's update dot and "Restart to Install" item, following the updater.
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "log/Log.h"
#include "support/LockRig.h"
#include "support/SettingsRig.h"
#include "ui/StatusMenuController.h"
#include "update/AppUpdater.h"
#include "update/UpdateDialogs.h"

#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;

namespace {

std::shared_ptr<AppUpdater> makeUpdater(LockRig& w, const QTemporaryDir& dir, bool starts) {
    Localization::configure(w.prefs);
    Localization::shared().setOverride(AppLanguage::en);
    UpdateEngine::Setup setup;
    setup.scheduler = &w.scheduler;
    setup.defaults = w.store.get();
    setup.publicKey = QString::fromStdString(AppUpdater::defaultPublicKey());
    setup.currentVersion = QStringLiteral("1.0.0");
    setup.location = {dir.path(), QStringLiteral("bin/tolva-screen"), dir.path() + QStringLiteral("/state")};
    // Connection refused at once: the check ends without any network.
    return std::make_shared<AppUpdater>(AppUpdater::Configuration{"http://127.0.0.1:9", 1, starts},
                                        std::move(setup));
}

std::vector<std::string> titles(QMenu& menu) {
    std::vector<std::string> out;
    for (QAction* action : menu.actions())
        out.push_back(action->isSeparator() ? "---" : action->text().toStdString());
    return out;
}

QAction* find(QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

} // namespace

TEST(StatusMenu, UpdateItemAndDotFollowTheWaitingVersion) {
    LockRig w;
    QTemporaryDir dir;
    ScopedLogCapture log;
    auto updater = makeUpdater(w, dir, true);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    menu.setUpdater(updater);
    menu.refresh();
    const QImage plain = menu.trayIcon()->icon().pixmap(36, 36).toImage();
    menu.rebuild();
    EXPECT_THAT(titles(*menu.menu()),
                testing::Not(testing::Contains(testing::StartsWith("Restart to Install"))));

    updater->setAvailable("2.0");
    menu.refresh();
    EXPECT_NE(menu.trayIcon()->icon().pixmap(36, 36).toImage(), plain) << "the update dot";
    menu.rebuild();
    const auto list = titles(*menu.menu());
    // The item sits right before Settings.
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[list.size() - 3], "Restart to Install 2.0…");
    QAction* item = find(*menu.menu(), QStringLiteral("Restart to Install 2.0…"));
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isEnabled());
    item->trigger();
    EXPECT_EQ(log.messages("update").back(), "check requested by user");

    // While that check runs the item is there but does nothing.
    menu.rebuild();
    item = find(*menu.menu(), QStringLiteral("Restart to Install 2.0…"));
    ASSERT_NE(item, nullptr);
    EXPECT_FALSE(item->isEnabled());

    updater->setAvailable(std::nullopt);
    menu.refresh();
    EXPECT_EQ(menu.trayIcon()->icon().pixmap(36, 36).toImage(), plain);
}

TEST(StatusMenu, UpdateItemIsDisabledWhenTheUpdaterDoesNotStart) {
    LockRig w;
    QTemporaryDir dir;
    ScopedLogCapture log;
    auto updater = makeUpdater(w, dir, false);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    menu.setUpdater(updater);
    updater->setAvailable("2.0");
    menu.rebuild();
    QAction* item = find(*menu.menu(), QStringLiteral("Restart to Install 2.0…"));
    ASSERT_NE(item, nullptr);
    EXPECT_FALSE(item->isEnabled());
    item->trigger(); // even if reached: nothing
    EXPECT_THAT(log.messages("update"), testing::ElementsAre("update available"));
}

// A PIN in a locked keyring: the menu says so (and why the overlay cannot turn on yet), and the
// icon carries the warning mark until the keyring is open.
TEST(StatusMenu, ALockedKeyringIsShown) {
    LockRig w;
    Localization::configure(w.prefs);
    Localization::shared().setOverride(AppLanguage::en);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    bool locked = false;
    menu.keychainWarning = [&]() -> std::optional<std::string> {
        if (!locked)
            return std::nullopt;
        return L10n::Menu::Warning::keyringLocked();
    };
    menu.refresh();
    const QImage plain = menu.trayIcon()->icon().pixmap(36, 36).toImage();
    locked = true;
    menu.refresh();
    menu.rebuild();
    EXPECT_THAT(titles(*menu.menu()),
                testing::Contains(
                    "⚠︎ The keyring holding your PIN is locked — unlock it to turn the overlay on"));
    EXPECT_EQ(menu.trayIcon()->toolTip(),
              "The keyring holding your PIN is locked — unlock it to turn the overlay on");
    EXPECT_NE(menu.trayIcon()->icon().pixmap(36, 36).toImage(), plain) << "the warning mark";
    locked = false;
    menu.refresh();
    menu.rebuild();
    EXPECT_THAT(titles(*menu.menu()), testing::Not(testing::Contains(testing::HasSubstr("keyring"))));
    Localization::shared().setOverride(std::nullopt);
}

TEST(UpdateDialogs, AFailedUpdateIsSaidInTheUsersWordsNotByItsCode) {
    LockRig w;
    InterfaceLanguage english(w.prefs);
    using Code = UpdateError::Code;
    EXPECT_EQ(UpdateDialogs::errorText({Code::feedFailed, {}}),
              "Couldn’t reach the update server. Check the internet connection and try again.");
    EXPECT_EQ(UpdateDialogs::errorText({Code::downloadTimedOut, {}}),
              "Couldn’t reach the update server. Check the internet connection and try again.");
    EXPECT_EQ(UpdateDialogs::errorText({Code::feedMalformed, {}}),
              "The update server sent something unexpected. Try again later.");
    EXPECT_EQ(UpdateDialogs::errorText({Code::signatureInvalid, {}}),
              "The downloaded update couldn’t be verified, so it wasn’t installed.");
    EXPECT_EQ(UpdateDialogs::errorText({Code::installFailed, {}}),
              "The update couldn’t be installed. The current version keeps running.");
    for (Code code : {Code::feedAddressRefused, Code::feedTooLarge, Code::feedTimedOut, Code::downloadFailed,
                      Code::downloadTooLarge, Code::downloadTruncated, Code::downloadAddressRefused,
                      Code::signatureMissing, Code::unpackFailed, Code::newVersionDidNotStart}) {
        const std::string text = UpdateDialogs::errorText({code, {}});
        EXPECT_EQ(text.find_first_of("0123456789"), std::string::npos) << text;
    }
}
