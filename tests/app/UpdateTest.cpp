// The updater against a feed and archives served on 127.0.0.1, signed with a key made here.
#include "TolvaCore/DefaultsStore.h"
#include "TolvaCore/Localization.h"
#include "log/Log.h"
#include "platform/fake/FakeScheduler.h"
#include "support/QtApp.h"
#include "support/TestHttpServer.h"
#include "support/UpdateFixtures.h"
#include "update/AppUpdater.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;
using testing::ElementsAre;

namespace {

constexpr const char* abortedPrefix = "aborted domain=org.tolva.Screen.update code=";

// The engine's dialogs, recorded; the test answers an update found when it wants to.
struct RecordingDriver : UpdateEngine::UserDriver {
    struct Found {
        QString version;
        UpdateState state;
    };
    std::vector<Found> found;
    std::function<void(UpdateChoice)> reply;
    int upToDate = 0;
    std::vector<std::int32_t> errors;

    void showUpdateFound(const AppcastItem& item, const UpdateState& state,
                         std::function<void(UpdateChoice)> answer) override {
        found.push_back({item.displayVersionString(), state});
        reply = std::move(answer);
    }
    void showUpToDate() override { ++upToDate; }
    void showError(const UpdateError& error) override { errors.push_back(error.numericCode()); }
    void showDownloadProgress(qint64, qint64) override {}
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void writeProgram(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(content);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

class UpdateRig {
public:
    explicit UpdateRig(QString runningVersion = QStringLiteral("1.0.0"))
        : version_(std::move(runningVersion)) {
        prefix = root.path() + QStringLiteral("/prefix");
        stateDir = root.path() + QStringLiteral("/state");
        writeProgram(program(), "#!/bin/sh\necho \"tolva-screen " + version_.toUtf8() + "\"\n");
    }
    ~UpdateRig() {
        settings.reset();
        updater.reset();
    }

    QString program() const { return prefix + QStringLiteral("/bin/tolva-screen"); }

    void markPackageOwned() {
        QDir().mkpath(prefix + QStringLiteral("/share/tolva-screen"));
        QFile marker(prefix + QLatin1Char('/') + QLatin1String(UpdateInstaller::packageMarker));
        marker.open(QIODevice::WriteOnly);
    }

    void make(bool starts = true, int appMajor = 1) {
        settings.reset();
        updater.reset();
        UpdateEngine::Setup setup;
        setup.scheduler = &scheduler;
        setup.defaults = &defaults;
        setup.publicKey = key.publicKeyBase64();
        setup.currentVersion = version_;
        setup.location = {prefix, QStringLiteral("bin/tolva-screen"), stateDir};
        setup.driver = driver;
        setup.wallClock = [this] { return wallNow; };
        setup.timeLimit = timeLimit;
        setup.probeTimeLimit = 5s;
        setup.maxFeedBytes = 1 << 20;
        updater = std::make_unique<AppUpdater>(
            AppUpdater::Configuration{server.base().toStdString(), appMajor, starts}, std::move(setup));
        updater->onChange = [this] { ++changes; };
        settings = std::make_unique<UpdateSettings>(*updater);
    }

    // A signed release at /archives/VERSION.tar.gz and the feed listing it.
    QByteArray publish(const QString& version, const QString& display, QByteArray archive = {},
                       QString signature = QStringLiteral("sign")) {
        if (archive.isEmpty())
            archive = makeReleaseArchive(version);
        if (signature == QLatin1String("sign"))
            signature = key.sign(archive);
        const QString path = QStringLiteral("/archives/") + version + QStringLiteral(".tar.gz");
        server.serve(path, archive);
        server.serve(QStringLiteral("/appcast-v1.xml"),
                     makeFeed({{version, display, server.base() + path, archive.size(), signature}}));
        return archive;
    }

    // Runs the event loop until `done` or a generous bound (a failure, not a wait).
    static bool waitFor(const std::function<bool()>& done, int milliseconds = 15000) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > milliseconds)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        QCoreApplication::processEvents();
        return true;
    }
    bool waitForCheck() {
        return waitFor([this] { return updater->controller()->canCheckForUpdates(); });
    }

    std::vector<std::string> updateLog() const { return log.messages("update"); }
    int count(const std::string& line) const {
        const auto lines = updateLog();
        return int(std::count(lines.begin(), lines.end(), line));
    }

    QCoreApplication& app = qtApp(); // before the server, whose socket needs the event loop
    ScopedLogCapture log;
    TestHttpServer server;
    SigningKey key;
    FakeScheduler scheduler;
    InMemoryDefaultsStore defaults;
    QTemporaryDir root;
    QString prefix, stateDir;
    std::shared_ptr<RecordingDriver> driver = std::make_shared<RecordingDriver>();
    std::chrono::system_clock::time_point wallNow = std::chrono::system_clock::time_point(1'800'000'000s);
    std::chrono::milliseconds timeLimit = 5s;
    std::unique_ptr<AppUpdater> updater;
    std::unique_ptr<UpdateSettings> settings;
    int changes = 0;

private:
    QString version_;
};

} // namespace

TEST(AppUpdater, NewerVersionIsVerifiedStagedAndAnnouncedOnce) {
    UpdateRig rig;
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make();
    EXPECT_THAT(rig.updateLog(), ElementsAre());
    rig.updater->checkForUpdates();
    EXPECT_FALSE(rig.updater->canCheckForUpdates()); // while the check runs
    ASSERT_TRUE(rig.waitForCheck());

    EXPECT_EQ(rig.updater->availableVersion(), "2.0");
    EXPECT_THAT(rig.updateLog(), ElementsAre("check requested by user", "update available"));
    EXPECT_THAT(rig.server.requests(), ElementsAre("/appcast-v1.xml", "/archives/2.0.0.tar.gz"));
    ASSERT_EQ(rig.driver->found.size(), 1u);
    EXPECT_EQ(rig.driver->found[0].version, "2.0");
    EXPECT_EQ(rig.driver->found[0].state.stage, UpdateState::Stage::installing);
    ASSERT_TRUE(rig.updater->controller()->installer().staged());
    EXPECT_EQ(rig.updater->controller()->installer().staged()->version, "2.0.0");
    EXPECT_GE(rig.changes, 1);

    // Asking again presents the staged update without fetching, and announces nothing new.
    rig.updater->checkForUpdates();
    rig.waitForCheck();
    EXPECT_EQ(rig.server.requests().size(), 2);
    EXPECT_EQ(rig.driver->found.size(), 2u);
    EXPECT_EQ(rig.count("update available"), 1);

    // "Install and Restart" asks the program to quit; the update installs at quit.
    bool quitRequested = false;
    rig.updater->controller()->onQuitToInstallRequested = [&] { quitRequested = true; };
    rig.driver->reply(UpdateChoice::install);
    EXPECT_TRUE(quitRequested);

    // The next run (no quit in between) still knows the staged update is waiting.
    rig.make();
    EXPECT_EQ(rig.updater->availableVersion(), "2.0");
    EXPECT_EQ(rig.count("update available"), 2);
    EXPECT_EQ(rig.server.requests().size(), 2);
}

TEST(AppUpdater, SameVersionTwiceChangesOnceAndClearingIsLogged) {
    UpdateRig rig;
    rig.make(false);
    rig.updater->setAvailable("3.1");
    rig.updater->setAvailable("3.1");
    EXPECT_EQ(rig.changes, 1);
    rig.updater->setAvailable(std::nullopt);
    rig.updater->setAvailable(std::nullopt);
    EXPECT_EQ(rig.changes, 2);
    EXPECT_THAT(rig.updateLog(), ElementsAre("update available", "update cleared"));
}

TEST(AppUpdater, OlderOrEqualVersionsAnnounceNothing) {
    UpdateRig rig;
    rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                     makeFeed({{QStringLiteral("1.0.0"), QStringLiteral("1.0"),
                                rig.server.base() + "/a.tar.gz", 10, QStringLiteral("x")},
                               {QStringLiteral("0.9.5"), QStringLiteral("0.9.5"),
                                rig.server.base() + "/b.tar.gz", 10, QStringLiteral("x")}}));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
    EXPECT_THAT(rig.updateLog(), ElementsAre("check requested by user"));
    EXPECT_THAT(rig.server.requests(), ElementsAre("/appcast-v1.xml"));
    EXPECT_EQ(rig.driver->upToDate, 1);
    EXPECT_TRUE(rig.driver->found.empty());
}

TEST(AppUpdater, BadOrMissingSignatureIsRefusedAndNothingKept) {
    for (bool missing : {false, true}) {
        SCOPED_TRACE(missing ? "missing" : "wrong");
        UpdateRig rig;
        const QByteArray original = readAll(rig.program());
        const QByteArray archive = makeReleaseArchive(QStringLiteral("2.0.0"));
        // Wrong: a valid signature of other bytes by the right key.
        rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"), archive,
                    missing ? QString() : rig.key.sign(archive + "tampered"));
        rig.make();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCheck());
        const std::string code = missing ? "3001" : "3002";
        EXPECT_THAT(rig.updateLog(), ElementsAre("check requested by user", abortedPrefix + code));
        EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
        EXPECT_EQ(rig.updater->controller()->installer().staged(), std::nullopt);
        EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/staging"));
        EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/update.tar.gz"));
        EXPECT_EQ(readAll(rig.program()), original);
        EXPECT_EQ(rig.server.requestCount("/archives/2.0.0.tar.gz"), missing ? 0 : 1);
        EXPECT_THAT(rig.driver->errors, ElementsAre(std::stoi(code)));
        // Nothing to install at quit either.
        rig.updater->installOnQuit();
        EXPECT_EQ(readAll(rig.program()), original);
    }
}

// A signed archive whose program is another version than the feed announces (an older
// release labelled as newer), or that does not answer at all, is refused before it is offered
// or installed, and the installed program stays as it is.
TEST(AppUpdater, AProgramThatIsNotTheAnnouncedVersionIsRefused) {
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "an older version" : "no answer");
        UpdateRig rig;
        const QByteArray original = readAll(rig.program());
        rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"),
                    answers ? makeReleaseArchive(QStringLiteral("1.0.0"))
                            : makeReleaseArchive(QString())); // prints no version
        rig.make();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCheck());
        const std::string answer = answers ? "1.0.0" : "nothing";
        EXPECT_THAT(rig.updateLog(), ElementsAre("check requested by user",
                                                 "refused version=2.0.0: the downloaded program answered " +
                                                     answer + ", not 2.0.0",
                                                 std::string(abortedPrefix) + "4004"));
        EXPECT_THAT(rig.driver->errors, ElementsAre(4004));
        EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
        EXPECT_EQ(rig.updater->controller()->installer().staged(), std::nullopt);
        EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/staging"));
        rig.updater->installOnQuit();
        EXPECT_EQ(readAll(rig.program()), original);
        EXPECT_EQ(UpdateInstaller::probeVersion(rig.program(), 5s), "1.0.0");
    }
}

TEST(AppUpdater, SignatureByAnotherKeyIsRefused) {
    UpdateRig rig;
    SigningKey stranger;
    const QByteArray archive = makeReleaseArchive(QStringLiteral("2.0.0"));
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"), archive, stranger.sign(archive));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    EXPECT_EQ(rig.updateLog().back(), std::string(abortedPrefix) + "3002");
    EXPECT_EQ(rig.updater->controller()->installer().staged(), std::nullopt);
}

TEST(AppUpdater, BrokenTransfersFailCleanly) {
    struct Case {
        const char* name;
        std::function<void(UpdateRig&)> serve;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"truncated archive",
         [](UpdateRig& rig) {
             const QByteArray archive = rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
             rig.server.serve(QStringLiteral("/archives/2.0.0.tar.gz"),
                              {TestHttpServer::Response::Kind::truncated, archive});
         },
         "2001"},
        {"truncated feed",
         [](UpdateRig& rig) {
             rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                              {TestHttpServer::Response::Kind::truncated,
                               makeFeed({{"2.0.0", "2.0", rig.server.base() + "/a", 10, "x"}})});
         },
         "1002"},
        {"feed that never answers",
         [](UpdateRig& rig) {
             rig.timeLimit = 300ms;
             rig.server.serve(QStringLiteral("/appcast-v1.xml"), {TestHttpServer::Response::Kind::hang, {}});
         },
         "1004"},
        {"malformed XML",
         [](UpdateRig& rig) {
             rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                              QByteArray("<rss version=\"2.0\"><channel><item></channel></rss>"));
         },
         "1005"},
        {"not RSS",
         [](UpdateRig& rig) {
             rig.server.serve(QStringLiteral("/appcast-v1.xml"), QByteArray("<html></html>"));
         },
         "1005"},
        {"HTTP error", [](UpdateRig&) {}, "1002"}, // nothing served: 404
        {"redirect off the machine",
         [](UpdateRig& rig) {
             rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                              {TestHttpServer::Response::Kind::redirect, "http://192.0.2.1/appcast-v1.xml"});
         },
         "1002"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateRig rig;
        c.serve(rig);
        rig.make();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCheck());
        EXPECT_EQ(rig.updateLog().back(), std::string(abortedPrefix) + c.code);
        EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
        EXPECT_EQ(rig.updater->controller()->installer().staged(), std::nullopt);
        EXPECT_TRUE(rig.updater->canCheckForUpdates()); // ready for the next check
        // "Last checked" only after a feed that was read: a failed check leaves it as it was.
        if (c.code[0] == '1') {
            EXPECT_EQ(rig.settings->lastCheckDate(), std::nullopt);
        } else {
            EXPECT_EQ(rig.settings->lastCheckDate(), rig.wallNow);
        }
        EXPECT_EQ(rig.driver->errors, std::vector<std::int32_t>{std::stoi(c.code)});
        if (std::string(c.code) == "1005") {
            const auto lines = rig.updateLog();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("appcast rejected reason=", 0) == 0;
            }));
        }
    }
}

TEST(AppUpdater, HugeFeedIsCutOffAtTheCap) {
    UpdateRig rig;
    rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                     {TestHttpServer::Response::Kind::endless, {}, qint64(50) << 20});
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    EXPECT_EQ(rig.updateLog().back(), std::string(abortedPrefix) + "1003");
    // The transfer stopped near the 1 MiB cap, far from the 50 MiB offered.
    QCoreApplication::processEvents();
    EXPECT_LT(rig.server.streamedBytes(), qint64(16) << 20);
}

TEST(AppUpdater, SkipClearsTheWaitingVersionAndDoesNothingWhenNoneWaits) {
    UpdateRig rig;
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make();

    // No version waiting: skipping neither logs nor tells anyone.
    AppcastItem item;
    item.version = QStringLiteral("2.0.0");
    static_cast<UpdateEngine::Delegate&>(*rig.updater).userDidMakeChoice(UpdateChoice::skip, item, {});
    EXPECT_THAT(rig.updateLog(), ElementsAre());
    EXPECT_EQ(rig.changes, 0);

    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.updater->availableVersion(), "2.0");
    // "Later" changes nothing.
    rig.driver->reply(UpdateChoice::dismiss);
    EXPECT_EQ(rig.updater->availableVersion(), "2.0");
    rig.updater->checkForUpdates();
    rig.waitForCheck();
    rig.driver->reply(UpdateChoice::skip);
    EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
    EXPECT_EQ(rig.updateLog().back(), "update cleared");
    EXPECT_EQ(rig.updater->controller()->installer().staged(), std::nullopt);

    // A scheduled check leaves the skipped version alone; nothing installs at quit.
    const QByteArray original = readAll(rig.program());
    rig.scheduler.advance(Seconds(86400));
    ASSERT_TRUE(rig.waitFor([&] { return rig.server.requestCount("/appcast-v1.xml") == 2; }));
    rig.waitForCheck();
    EXPECT_EQ(rig.updater->availableVersion(), std::nullopt);
    rig.updater->installOnQuit();
    EXPECT_EQ(readAll(rig.program()), original);
}

TEST(AppUpdater, NotStartedDoesNothing) {
    UpdateRig rig;
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make(false);
    EXPECT_FALSE(rig.updater->canCheckForUpdates());
    EXPECT_FALSE(rig.settings->canCheck());
    rig.updater->checkForUpdates();
    rig.settings->check();
    rig.scheduler.advance(Seconds(3 * 86400));
    QCoreApplication::processEvents();
    EXPECT_THAT(rig.updateLog(), ElementsAre());
    EXPECT_TRUE(rig.server.requests().isEmpty());
}

TEST(AppUpdater, FeedAddressFollowsTheMajorVersion) {
    for (auto [major, path] : {std::pair{0, "/appcast-v1.xml"}, std::pair{1, "/appcast-v1.xml"},
                               std::pair{3, "/appcast-v3.xml"}}) {
        UpdateRig rig;
        rig.make(true, major);
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCheck());
        EXPECT_THAT(rig.server.requests(), ElementsAre(path));
    }
}

TEST(AppUpdater, AutomaticChecksRunDailyPersistAndCanBeTurnedOff) {
    ::setenv("LANGUAGE", "en", 1);
    Localization::configure(nullptr);
    UpdateRig rig;
    rig.server.serve(QStringLiteral("/appcast-v1.xml"), makeFeed({}));
    rig.make();
    EXPECT_TRUE(rig.updater->automaticallyChecks());
    EXPECT_TRUE(rig.settings->automaticallyChecks());
    EXPECT_EQ(rig.settings->lastCheckDate(), std::nullopt);
    EXPECT_EQ(rig.settings->lastCheckedText(), "");

    // The first check comes a day after the first start, not at once.
    rig.scheduler.advance(Seconds(86400 - 1));
    QCoreApplication::processEvents();
    EXPECT_TRUE(rig.server.requests().isEmpty());
    const int revision = rig.settings->revision();
    rig.scheduler.advance(Seconds(1));
    ASSERT_TRUE(rig.waitFor([&] { return rig.server.requests().size() == 1; }));
    ASSERT_TRUE(rig.waitForCheck());
    rig.waitFor([&] { return rig.settings->revision() > revision; });
    EXPECT_GT(rig.settings->revision(), revision);
    EXPECT_EQ(rig.settings->lastCheckDate(), rig.wallNow);
    EXPECT_EQ(rig.settings->lastCheckedText(rig.wallNow + 5min), "Last checked 5 minutes ago");
    EXPECT_EQ(rig.settings->lastCheckedText(rig.wallNow - 1h),
              "Last checked now");      // a date ahead reads as now
    EXPECT_EQ(rig.driver->upToDate, 0); // scheduled checks stay quiet
    EXPECT_THAT(rig.updateLog(), ElementsAre());

    rig.scheduler.advance(Seconds(86400));
    ASSERT_TRUE(rig.waitFor([&] { return rig.server.requests().size() == 2; }));
    rig.waitForCheck();

    rig.settings->setAutomaticallyChecks(false);
    EXPECT_FALSE(rig.settings->automaticallyChecks());
    EXPECT_THAT(rig.updateLog(), ElementsAre("automatic checks off"));
    rig.scheduler.advance(Seconds(3 * 86400));
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.server.requests().size(), 2);

    // The choice and the date outlive the run.
    rig.make();
    EXPECT_FALSE(rig.settings->automaticallyChecks());
    EXPECT_EQ(rig.settings->lastCheckDate(), rig.wallNow);
    rig.settings->setAutomaticallyChecks(true);
    EXPECT_EQ(rig.updateLog().back(), "automatic checks on");
    // The last check was a day ago on the wall clock: due now.
    rig.wallNow += 24h;
    rig.make();
    rig.scheduler.runDue();
    ASSERT_TRUE(rig.waitFor([&] { return rig.server.requests().size() == 3; }));
}

TEST(AppUpdater, ScheduledUpdateIsAGentleReminderInTheMenu) {
    UpdateRig rig;
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make();
    rig.scheduler.advance(Seconds(86400));
    ASSERT_TRUE(rig.waitFor([&] { return rig.updater->availableVersion().has_value(); }));
    EXPECT_TRUE(rig.driver->found.empty()); // the program shows its own reminder
    EXPECT_THAT(rig.updateLog(), ElementsAre("update available"));
    ASSERT_TRUE(rig.updater->controller()->installer().staged());
}

TEST(AppUpdater, PackageOwnedInstallIsAnnouncedNotTouched) {
    UpdateRig rig;
    rig.markPackageOwned();
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    const QByteArray original = readAll(rig.program());
    rig.make();
    EXPECT_FALSE(rig.updater->controller()->installer().ownsFiles());
    rig.scheduler.advance(Seconds(86400));
    ASSERT_TRUE(rig.waitFor([&] { return rig.updater->availableVersion().has_value(); }));
    EXPECT_EQ(rig.updater->availableVersion(), "2.0");
    EXPECT_THAT(rig.server.requests(), ElementsAre("/appcast-v1.xml")); // never downloaded

    // Asking shows the announcement: no install offered.
    rig.waitForCheck();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.driver->found.size(), 1u);
    EXPECT_TRUE(rig.driver->found[0].state.packageManaged);
    EXPECT_EQ(rig.driver->found[0].state.stage, UpdateState::Stage::notDownloaded);

    rig.updater->installOnQuit();
    EXPECT_EQ(readAll(rig.program()), original);
    EXPECT_FALSE(QFileInfo::exists(rig.prefix + "/share/tolva-screen/release.txt"));
}

TEST(UpdateInstaller, OwnershipOfTheFiles) {
    QTemporaryDir root;
    writeProgram(root.path() + "/bin/tolva-screen", "#!/bin/sh\n");
    EXPECT_TRUE(UpdateInstaller({root.path(), "bin/tolva-screen", root.path() + "/state"}).ownsFiles());
    // Outside a bin folder (a build tree), in /usr, or missing: not ours to replace.
    EXPECT_FALSE(UpdateInstaller({root.path() + "/bin", "tolva-screen", root.path() + "/state"}).ownsFiles());
    EXPECT_FALSE(UpdateInstaller({"/usr", "bin/sh", root.path() + "/state"}).ownsFiles());
    EXPECT_FALSE(UpdateInstaller({root.path(), "bin/other", root.path() + "/state"}).ownsFiles());
    // A package marker under the prefix.
    QDir(root.path()).mkpath("share/tolva-screen");
    QFile(root.path() + "/" + UpdateInstaller::packageMarker).open(QIODevice::WriteOnly);
    EXPECT_FALSE(UpdateInstaller({root.path(), "bin/tolva-screen", root.path() + "/state"}).ownsFiles());
    QFile::remove(root.path() + "/" + UpdateInstaller::packageMarker);
    // Files we cannot write (root can write anything, so only checked for other users).
    if (::geteuid() != 0) {
        QFile(root.path() + "/bin/tolva-screen").setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        EXPECT_FALSE(UpdateInstaller({root.path(), "bin/tolva-screen", root.path() + "/state"}).ownsFiles());
    }
}

TEST(UpdateInstaller, RefusesArchivesWithLinksOrWithoutTheProgram) {
    QTemporaryDir root;
    UpdateInstaller installer({root.path(), "bin/tolva-screen", root.path() + "/state"});
    QTemporaryDir tree;
    QDir(tree.path()).mkpath("bin");
    QFile::link("/etc/passwd", tree.path() + "/bin/tolva-screen");
    QProcess tar;
    tar.start("tar", {"-czf", "-", "-C", tree.path(), "bin"});
    tar.waitForFinished();
    auto error = installer.stage(tar.readAllStandardOutput(), "2.0.0", "2.0");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, UpdateError::Code::unpackFailed);
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/state/staging"));

    // A member naming a path above the prefix, and an archive without the program.
    QFile plain(tree.path() + "/bin/tolva-screen");
    QFile::remove(plain.fileName());
    plain.open(QIODevice::WriteOnly);
    plain.write("#!/bin/sh\n");
    plain.close();
    plain.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    tar.start("tar", {"-czf", "-", "-C", tree.path(), "-P", "--transform", "s,^,../,", "bin/tolva-screen"});
    tar.waitForFinished();
    error = installer.stage(tar.readAllStandardOutput(), "2.0.0", "2.0");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description.contains("outside")) << error->description.toStdString();
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/bin/tolva-screen"));
    QDir(tree.path()).mkpath("share");
    tar.start("tar", {"-czf", "-", "-C", tree.path(), "share"});
    tar.waitForFinished();
    error = installer.stage(tar.readAllStandardOutput(), "2.0.0", "2.0");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description.contains("has no bin/tolva-screen")) << error->description.toStdString();

    error = installer.stage("not a gzip file", "2.0.0", "2.0");
    ASSERT_TRUE(error);
    EXPECT_EQ(installer.staged(), std::nullopt);
}

// End to end: the real program installed in a user prefix is replaced on quit by the release
// served from the local feed, and the installed program then starts as the new version.
TEST(UpdateEndToEnd, UserPrefixInstallIsUpdatedOnQuit) {
    UpdateRig rig(QString::fromStdString(AppUpdater::runningVersion()));
    QFile::remove(rig.program());
    ASSERT_TRUE(QFile::copy(TOLVA_BINARY, rig.program()));
    const QByteArray original = readAll(rig.program());
    EXPECT_EQ(UpdateInstaller::probeVersion(rig.program(), 5s),
              QString::fromStdString(AppUpdater::runningVersion()));

    rig.publish(QStringLiteral("9.1.0"), QStringLiteral("9.1"));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.updater->availableVersion(), "9.1");
    EXPECT_EQ(readAll(rig.program()), original); // nothing changes before quit

    rig.updater->installOnQuit();
    EXPECT_EQ(UpdateInstaller::probeVersion(rig.program(), 5s), "9.1.0");
    EXPECT_EQ(readAll(rig.prefix + "/share/tolva-screen/release.txt"), "release 9.1.0\n");
    EXPECT_EQ(rig.updateLog().back(), "installed version=9.1.0");
    // The previous program is kept until the new one has started once.
    EXPECT_EQ(readAll(rig.stateDir + "/previous/bin/tolva-screen"), original);

    UpdateRig next(QStringLiteral("9.1.0"));
    next.prefix = rig.prefix;
    next.stateDir = rig.stateDir;
    next.make();
    EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/previous"));
    EXPECT_THAT(next.updateLog(), ElementsAre("new version started version=9.1.0"));
}

TEST(UpdateEndToEnd, NewVersionThatDoesNotStartIsRolledBack) {
    UpdateRig rig;
    const QByteArray original = readAll(rig.program());
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"),
                makeReleaseArchive(QStringLiteral("2.0.0"), false));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.updater->availableVersion(), "2.0");
    rig.updater->installOnQuit();
    EXPECT_EQ(readAll(rig.program()), original);
    EXPECT_FALSE(QFileInfo::exists(rig.prefix + "/share/tolva-screen/release.txt")); // added files go too
    const auto lines = rig.updateLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "rolled back version=2.0.0");
    EXPECT_EQ(lines.back(), std::string(abortedPrefix) + "4003");
    EXPECT_EQ(UpdateInstaller::probeVersion(rig.program(), 5s), "1.0.0");
}

// The staged program is asked again at quit: one changed since it was unpacked is not installed.
TEST(UpdateEndToEnd, AStagedProgramChangedSinceIsNotInstalled) {
    UpdateRig rig;
    const QByteArray original = readAll(rig.program());
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.updater->availableVersion(), "2.0");
    writeProgram(rig.stateDir + "/staging/bin/tolva-screen", "#!/bin/sh\necho \"tolva-screen 1.5.0\"\n");
    rig.updater->installOnQuit();
    EXPECT_EQ(readAll(rig.program()), original);
    EXPECT_FALSE(QFileInfo::exists(rig.prefix + "/share/tolva-screen/release.txt"));
    EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/previous"));
    EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/staging"));
    const auto lines = rig.updateLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "refused version=2.0.0: the downloaded program answered 1.5.0, not 2.0.0");
    EXPECT_EQ(lines.back(), std::string(abortedPrefix) + "4004");
}

TEST(UpdateEndToEnd, InstallCutOffHalfWayIsRolledBackAtNextStart) {
    UpdateRig rig;
    const QByteArray original = readAll(rig.program());
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    // As if the process died after keeping the previous files and swapping the program.
    QDir().mkpath(rig.stateDir + "/previous/bin");
    QFile::copy(rig.program(), rig.stateDir + "/previous/bin/tolva-screen");
    QFile journal(rig.stateDir + "/install.json");
    journal.open(QIODevice::WriteOnly);
    journal.write(R"({"version":"2.0.0","state":"swapping","replaced":["bin/tolva-screen"],"created":[]})");
    journal.close();
    writeProgram(rig.program(), "#!/bin/sh\nexit 1\n");

    UpdateRig next;
    next.prefix = rig.prefix;
    next.stateDir = rig.stateDir;
    next.make();
    EXPECT_EQ(readAll(rig.program()), original);
    EXPECT_FALSE(QFileInfo::exists(rig.stateDir + "/install.json"));
}

// The release tool's archive, signature and feed item are what the program accepts: the real
// program, installed and packed by scripts/update-release, replaces an older install on quit.
TEST(UpdateEndToEnd, ReleaseToolOutputInstallsTheRealProgram) {
    UpdateRig rig(QStringLiteral("0.0.1"));
    QTemporaryDir out;
    ASSERT_TRUE(rig.key.writePem(out.path() + "/key.pem"));
    QProcess tool;
    tool.setWorkingDirectory(out.path());
    tool.start(QStringLiteral(TOLVA_SOURCE_DIR "/scripts/update-release"),
               {out.path() + "/key.pem", rig.server.base() + "/archives", QStringLiteral(TOLVA_BUILD_DIR)});
    ASSERT_TRUE(tool.waitForFinished(120000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    const QByteArray item = tool.readAllStandardOutput();
    const QString version = QString::fromStdString(AppUpdater::runningVersion());
    const QString name = "tolva-screen-" + version + ".tar.gz";
    rig.server.serve("/archives/" + name, readAll(out.path() + "/" + name));
    rig.server.serve(QStringLiteral("/appcast-v1.xml"),
                     "<rss version=\"2.0\" xmlns:tolva=\"https://tolva.org/xmlns/update/1\"><channel>" +
                         item + "</channel></rss>");
    rig.make();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCheck());
    ASSERT_EQ(rig.updater->availableVersion(), version.toStdString());
    rig.updater->installOnQuit();
    EXPECT_EQ(UpdateInstaller::probeVersion(rig.program(), 5s), version);
    EXPECT_EQ(readAll(rig.program()), readAll(TOLVA_BINARY));
    EXPECT_TRUE(QFileInfo::exists(rig.prefix + "/share/applications/org.tolva.Screen.desktop"));
}

TEST(AppUpdater, DownloadProgressIsObservableUntilTheTransferEnds) {
    UpdateRig rig;
    rig.timeLimit = 400ms;
    rig.publish(QStringLiteral("2.0.0"), QStringLiteral("2.0"));
    rig.server.serve(QStringLiteral("/archives/2.0.0.tar.gz"), {TestHttpServer::Response::Kind::hang, {}});
    rig.make();
    EXPECT_EQ(rig.settings->downloadProgress(), std::nullopt);
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitFor([&] { return rig.settings->downloadProgress().has_value(); }));
    EXPECT_EQ(rig.settings->downloadProgress(), 0.0);
    EXPECT_FALSE(rig.settings->canCheck());
    ASSERT_TRUE(rig.waitForCheck());
    EXPECT_EQ(rig.settings->downloadProgress(), std::nullopt);
    EXPECT_EQ(rig.updateLog().back(), std::string(abortedPrefix) + "2003");
}
