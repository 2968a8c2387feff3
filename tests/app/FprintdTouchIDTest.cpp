// Fingerprint unlock against the real fprintd with libfprint's virtual reader, on a system bus of
// each test's own.
#include "platform/dbus/FprintdTouchID.h"
#include "log/Log.h"
#include "support/FprintdService.h"
#include "support/LockRig.h"

#include <gtest/gtest.h>

#include <QDBusMessage>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;
using Reason = TouchIDUnlock::Availability::Reason;

namespace {

bool sawLine(ScopedLogCapture& log, const std::string& line) {
    const auto lines = log.messages("auth");
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A lock controller whose fingerprint check is the real fprintd client.
struct FingerprintRig {
    FprintdService service;
    std::shared_ptr<FprintdTouchID> touchID;
    std::unique_ptr<LockRig> rig;

    explicit FingerprintRig(bool enrol = true) {
        test::widgetsApp();
        if (!service.isReady())
            return;
        if (enrol && !service.enroll("finger-a"))
            return;
        touchID = std::make_shared<FprintdTouchID>(service.connect(QStringLiteral("program")));
        test::waitUntil([&] { return touchID->availability().reason != Reason::unknown; }, 10s);
        rig = std::make_unique<LockRig>(true, LockRig::Real{touchID, nullptr});
    }
    bool ready() const { return rig != nullptr; }
    UnlockPanel* panel() { return rig->promptView()->panel(); }
};

} // namespace

TEST(FprintdTouchID, AvailabilityFollowsTheReaderAndTheEnrolledFingers) {
    test::widgetsApp();
    FprintdService service;
    ASSERT_TRUE(service.isReady()) << service.diagnostics();
    FprintdTouchID touchID(service.connect(QStringLiteral("program")));
    int changes = 0;
    touchID.onAvailabilityChanged = [&] { ++changes; };
    ASSERT_TRUE(test::waitUntil([&] { return touchID.availability().reason != Reason::unknown; }, 10s));
    EXPECT_EQ(touchID.availability().reason, Reason::noEnrolledFinger);
    EXPECT_EQ(touchID.availability().unavailableText(), "No fingerprint is enrolled for your account.");
    changes = 0;

    ASSERT_TRUE(service.enroll("finger-a")) << service.diagnostics();
    touchID.refreshAvailability();
    EXPECT_TRUE(test::waitUntil([&] { return touchID.isAvailable(); }, 10s));
    EXPECT_EQ(changes, 1);

    FprintdService noReader({true, false});
    ASSERT_TRUE(noReader.isReady()) << noReader.diagnostics();
    FprintdTouchID withoutReader(noReader.connect(QStringLiteral("program")));
    ASSERT_TRUE(test::waitUntil([&] { return withoutReader.availability().reason != Reason::unknown; }, 10s));
    EXPECT_EQ(withoutReader.availability().reason, Reason::noDevice);
    EXPECT_EQ(withoutReader.availability().unavailableText(), "This computer has no fingerprint reader.");

    FprintdService noFprintd({false, false});
    ASSERT_TRUE(noFprintd.isReady());
    FprintdTouchID nobody(noFprintd.connect(QStringLiteral("program")));
    ASSERT_TRUE(test::waitUntil([&] { return nobody.availability().reason != Reason::unknown; }, 10s));
    EXPECT_EQ(nobody.availability().reason, Reason::noService);

    FprintdTouchID noBus(QDBusConnection(QStringLiteral("never-connected")));
    EXPECT_EQ(noBus.availability().reason, Reason::noService);
}

TEST(FprintdTouchID, AMatchingFingerUnlocksAndAnotherOneKeepsWaiting) {
    ScopedLogCapture log;
    FingerprintRig f;
    ASSERT_TRUE(f.ready()) << f.service.diagnostics();
    ASSERT_TRUE(f.touchID->isAvailable()) << f.touchID->availability().logText() << f.service.diagnostics();
    LockRig& rig = *f.rig;
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    ASSERT_NE(f.touchID->control(), nullptr) << "the fingerprint control is in the panel";
    EXPECT_EQ(f.touchID->control()->parentWidget(), f.panel());
    EXPECT_EQ(f.touchID->control()->geometry(), QRect(104, 15, 32, 32));
    EXPECT_TRUE(f.panel()->icon()->isHidden()) << "in place of the lock icon";
    EXPECT_TRUE(sawLine(log, "Touch ID prompt shown"));
    ASSERT_TRUE(test::waitUntil([&] { return f.touchID->isVerifying(); }, 10s)) << f.service.diagnostics();

    // Another finger: still locked, still waiting, and the PIN still works.
    ASSERT_TRUE(f.service.send("SCAN finger-b"));
    ASSERT_TRUE(
        test::waitUntil([&] { return sawLine(log, "Touch ID no match; waiting for another finger"); }, 10s))
        << f.service.diagnostics();
    EXPECT_EQ(rig.controller->state(), LockState::prompting);
    EXPECT_TRUE(f.touchID->control()->isRejected());
    ASSERT_TRUE(test::waitUntil([&] { return f.touchID->isVerifying(); }, 10s)) << "verification restarted";
    ASSERT_TRUE(f.service.send("RETRY 1"));
    ASSERT_TRUE(test::waitUntil([&] { return sawLine(log, "Touch ID retry: verify-swipe-too-short"); }, 10s));
    EXPECT_EQ(rig.controller->state(), LockState::prompting);
    rig.typeDigits("4829");
    EXPECT_EQ(rig.controller->state(), LockState::unlocked);
    EXPECT_EQ(f.touchID->control(), nullptr);
    EXPECT_FALSE(f.touchID->isPresented());

    // The reader was given back: the next lock claims it again, and the right finger unlocks.
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    ASSERT_TRUE(test::waitUntil([&] { return f.touchID->isVerifying(); }, 10s)) << f.service.diagnostics();
    ASSERT_TRUE(f.service.send("SCAN finger-a"));
    ASSERT_TRUE(test::waitUntil([&] { return rig.controller->state() == LockState::unlocked; }, 10s))
        << f.service.diagnostics();
    EXPECT_TRUE(sawLine(log, "Touch ID accepted"));
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=Touch ID after 0s");
}

TEST(FprintdTouchID, ABusyOrLostReaderEndsTheCheckAndThePinStays) {
    ScopedLogCapture log;
    FingerprintRig f;
    ASSERT_TRUE(f.ready()) << f.service.diagnostics();
    LockRig& rig = *f.rig;

    // Another program holds the reader.
    QDBusConnection other = f.service.connect(QStringLiteral("other"));
    QDBusMessage claim = QDBusMessage::createMethodCall(
        QStringLiteral("net.reactivated.Fprint"), f.service.device(),
        QStringLiteral("net.reactivated.Fprint.Device"), QStringLiteral("Claim"));
    claim << QString();
    ASSERT_EQ(other.call(claim, QDBus::Block, 10000).type(), QDBusMessage::ReplyMessage);
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    auto ended = [&] {
        const auto lines = log.messages("auth");
        return std::any_of(lines.begin(), lines.end(),
                           [](auto& l) { return l.starts_with("Touch ID ended: "); });
    };
    ASSERT_TRUE(test::waitUntil(ended, 10s)) << ::testing::PrintToString(log.messages("auth"));
    ASSERT_NE(f.touchID->control(), nullptr) << "the control stays in its place after a reader error";
    EXPECT_TRUE(f.panel()->icon()->isHidden()) << "the lock icon does not come back under it";
    QDBusMessage release = QDBusMessage::createMethodCall(claim.service(), claim.path(), claim.interface(),
                                                          QStringLiteral("Release"));
    ASSERT_EQ(other.call(release, QDBus::Block, 10000).type(), QDBusMessage::ReplyMessage);
    rig.typeDigits("4829");
    EXPECT_EQ(rig.controller->state(), LockState::unlocked);

    // The reader goes away during the check.
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    ASSERT_TRUE(test::waitUntil([&] { return f.touchID->isVerifying(); }, 10s)) << f.service.diagnostics();
    ASSERT_TRUE(f.service.send("UNPLUG"));
    // fprintd 1.94 reports a reader removed during a verification as an unknown error.
    ASSERT_TRUE(test::waitUntil(
        [&] { return sawLine(log, "Touch ID ended: the fingerprint reader reported an unknown error"); },
        10s))
        << ::testing::PrintToString(log.messages("auth")) << f.service.diagnostics();
    EXPECT_NE(f.touchID->control(), nullptr) << "the control stays in its place";
    EXPECT_EQ(rig.controller->state(), LockState::prompting);
    rig.typeDigits("4829");
    EXPECT_EQ(rig.controller->state(), LockState::unlocked);
}

TEST(FprintdTouchID, NoReaderMeansNoControl) {
    ScopedLogCapture log;
    test::widgetsApp();
    FprintdService service({true, false});
    ASSERT_TRUE(service.isReady()) << service.diagnostics();
    auto touchID = std::make_shared<FprintdTouchID>(service.connect(QStringLiteral("program")));
    ASSERT_TRUE(test::waitUntil([&] { return touchID->availability().reason != Reason::unknown; }, 10s));
    LockRig rig(true, {touchID, nullptr});
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    test::pumpEvents(200ms);
    EXPECT_EQ(touchID->control(), nullptr);
    EXPECT_FALSE(rig.promptView()->panel()->icon()->isHidden());
    EXPECT_FALSE(touchID->isPresented());

    // Presenting anyway says why and adds nothing.
    touchID->present(rig.promptView()->panel(), [] {});
    EXPECT_EQ(touchID->control(), nullptr);
    EXPECT_EQ(log.messages("auth").back(), "Touch ID unavailable: no fingerprint reader");
}

TEST(FprintdTouchID, OnlyTheNewestPresentationCountsAndADismissedOneGivesTheReaderBack) {
    ScopedLogCapture log;
    FingerprintRig f;
    ASSERT_TRUE(f.ready()) << f.service.diagnostics();
    LockRig& rig = *f.rig;
    rig.lock();
    rig.controller->noteInput("mouseMoved");
    int successes = 0;
    // Present twice in a row: one control, and only the second presentation may succeed.
    f.touchID->present(f.panel(), [&] { ++successes; });
    f.touchID->present(f.panel(), [&] { successes += 10; });
    EXPECT_EQ(f.panel()->findChildren<FingerprintControl*>().size(), 1);
    ASSERT_TRUE(test::waitUntil([&] { return f.touchID->isVerifying(); }, 10s)) << f.service.diagnostics();
    ASSERT_TRUE(f.service.send("SCAN finger-a"));
    ASSERT_TRUE(test::waitUntil([&] { return successes != 0; }, 10s)) << f.service.diagnostics();
    EXPECT_EQ(successes, 10);

    // Dismissed before the claim was even answered: a finger then does nothing.
    successes = 0;
    f.touchID->present(f.panel(), [&] { ++successes; });
    f.touchID->dismiss();
    EXPECT_FALSE(f.panel()->icon()->isHidden()) << "the lock icon is back";
    EXPECT_EQ(f.panel()->findChildren<FingerprintControl*>().size(), 0);
    f.service.send("SCAN finger-a");
    test::pumpEvents(500ms);
    EXPECT_EQ(successes, 0);
    EXPECT_EQ(rig.controller->state(), LockState::prompting);

    // Nothing keeps the reader: another program can claim it.
    QDBusConnection other = f.service.connect(QStringLiteral("other"));
    QDBusMessage claim = QDBusMessage::createMethodCall(
        QStringLiteral("net.reactivated.Fprint"), f.service.device(),
        QStringLiteral("net.reactivated.Fprint.Device"), QStringLiteral("Claim"));
    claim << QString();
    EXPECT_TRUE(test::waitUntil(
        [&] { return other.call(claim, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage; }, 10s));
    rig.controller->unlock("test");
}
