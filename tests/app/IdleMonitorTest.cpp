#include "platform/IdleMonitor.h"
#include "log/Log.h"
#include "platform/fake/FakeScheduler.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {

// Idle time that follows virtual time since the last "input".
struct FakeIdle : IdleTimeSource {
    FakeScheduler& scheduler;
    Instant lastInput;
    int queries = 0;
    explicit FakeIdle(FakeScheduler& s) : scheduler(s), lastInput(s.now()) {}
    double secondsSinceLastInput() override {
        ++queries;
        return std::chrono::duration_cast<Seconds>(scheduler.now() - lastInput).count();
    }
    void input() { lastInput = scheduler.now(); }
};

struct FakeLockState : ScreenLockState {
    bool locked = false;
    bool isScreenLocked() override { return locked; }
};

struct Fixture {
    FakeScheduler scheduler;
    std::shared_ptr<FakeIdle> idle = std::make_shared<FakeIdle>(scheduler);
    std::shared_ptr<FakeLockState> session = std::make_shared<FakeLockState>();
    IdleMonitor monitor{scheduler, idle, session};
    std::vector<double> fired;
    Fixture() {
        monitor.onIdle = [this](double seconds) { fired.push_back(seconds); };
    }
};

} // namespace

TEST(IdleMonitor, OffAtThresholdZero) {
    Fixture f;
    f.monitor.isArmed = true;
    f.monitor.start();
    f.monitor.start();
    f.scheduler.advance(Seconds(4000));
    EXPECT_EQ(f.idle->queries, 0);
    EXPECT_TRUE(f.fired.empty());
    EXPECT_EQ(f.scheduler.pendingCount(), 1u) << "start twice makes one loop";
}

TEST(IdleMonitor, FiresOncePerIdlePeriod) {
    ScopedLogCapture log;
    Fixture f;
    f.monitor.threshold = 300;
    f.monitor.isArmed = true;
    f.monitor.start();
    f.scheduler.advance(Seconds(299));
    EXPECT_TRUE(f.fired.empty());
    f.scheduler.advance(Seconds(1)); // not a tick late: it woke for the moment the threshold falls
    ASSERT_EQ(f.fired.size(), 1u);
    EXPECT_EQ(log.messages("idle"), std::vector<std::string>{"idle 300s >= 300s"});
    f.scheduler.advance(Seconds(100));
    EXPECT_EQ(f.fired.size(), 1u);
    f.idle->input(); // at 400 s
    f.scheduler.advance(Seconds(150)); // seen within half a threshold: re-armed
    EXPECT_TRUE(f.monitor.readyToFire());
    f.scheduler.advance(Seconds(149));
    EXPECT_EQ(f.fired.size(), 1u);
    f.scheduler.advance(Seconds(1));
    EXPECT_EQ(f.fired.size(), 2u) << "300 s after the input";
}

TEST(IdleMonitor, SleepsUntilTheThresholdCouldBeReached) {
    Fixture f;
    f.monitor.threshold = 300;
    f.monitor.isArmed = true;
    f.monitor.start();
    // Someone working: input every 10 s for an hour.
    for (int i = 0; i < 360; ++i) {
        f.scheduler.advance(Seconds(10));
        f.idle->input();
    }
    EXPECT_TRUE(f.fired.empty());
    EXPECT_LE(f.idle->queries, 13) << "about one look per threshold, not one every 2 s";
    // A shorter threshold takes effect at once, not when the old one would have been reached.
    f.monitor.threshold = 20;
    f.monitor.recheck();
    f.scheduler.advance(Seconds(20));
    EXPECT_EQ(f.fired.size(), 1u);
}

TEST(IdleMonitor, SkipsWhileTheSystemScreenIsLocked) {
    ScopedLogCapture log;
    Fixture f;
    f.monitor.threshold = 60;
    f.monitor.isArmed = true;
    f.session->locked = true;
    f.monitor.start();
    f.scheduler.advance(Seconds(200));
    EXPECT_TRUE(f.fired.empty());
    EXPECT_EQ(log.messages("idle"),
              std::vector<std::string>{"idle threshold reached but the system screen is locked; skipping"});
    f.session->locked = false;
    f.idle->input();
    f.scheduler.advance(Seconds(62));
    EXPECT_EQ(f.fired.size(), 1u);
}

TEST(IdleMonitor, PauseHoldsTheTriggerUntilItEnds) {
    ScopedLogCapture log;
    Fixture f;
    f.monitor.threshold = 300;
    f.monitor.isArmed = true;
    f.monitor.togglePause();
    EXPECT_TRUE(f.monitor.isPaused());
    f.monitor.start();
    f.scheduler.advance(Seconds(3599));
    EXPECT_TRUE(f.fired.empty());
    f.scheduler.advance(Seconds(2));
    EXPECT_EQ(f.fired.size(), 1u) << "fires as the pause ends";
    f.monitor.togglePause();
    f.monitor.togglePause();
    EXPECT_EQ(log.messages("idle")[0], "auto-lock suspended for 3600s");
    EXPECT_EQ(log.messages("idle").back(), "auto-lock resumed");
}

TEST(IdleMonitor, DisarmedKeepsTheLatchButActivityStillRearms) {
    Fixture f;
    f.monitor.threshold = 10;
    f.monitor.isArmed = false;
    f.monitor.start();
    f.scheduler.advance(Seconds(30));
    EXPECT_TRUE(f.fired.empty());
    EXPECT_TRUE(f.monitor.readyToFire());
    f.monitor.isArmed = true;
    f.monitor.recheck();
    f.scheduler.runDue();
    EXPECT_EQ(f.fired.size(), 1u);
}
