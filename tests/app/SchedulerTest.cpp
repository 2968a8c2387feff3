#include "platform/FrameLimiter.h"
#include "platform/QtScheduler.h"
#include "platform/fake/FakeScheduler.h"
#include "support/ChildProcess.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

using namespace tolva;
using namespace std::chrono_literals;

TEST(FakeScheduler, RunsTasksInDueOrderAsTimeAdvances) {
    FakeScheduler scheduler;
    std::vector<std::string> ran;
    auto late = scheduler.schedule(Seconds(5), [&] { ran.push_back("5s"); });
    auto early = scheduler.schedule(Seconds(1), [&] { ran.push_back("1s"); });
    auto same = scheduler.schedule(Seconds(1), [&] { ran.push_back("1s again"); });
    scheduler.advance(Seconds(0.999));
    EXPECT_TRUE(ran.empty());
    scheduler.advance(Seconds(0.001));
    EXPECT_EQ(ran, (std::vector<std::string>{"1s", "1s again"}));
    EXPECT_FALSE(early.isActive());
    EXPECT_TRUE(late.isActive());
    scheduler.advance(Seconds(10));
    EXPECT_EQ(ran.back(), "5s");
}

TEST(FakeScheduler, HandlesCancelOnDestructionAndRepeatingTasksRearm) {
    FakeScheduler scheduler;
    int fired = 0;
    {
        auto handle = scheduler.schedule(Seconds(1), [&] { ++fired; });
    }
    scheduler.advance(Seconds(2));
    EXPECT_EQ(fired, 0);

    int ticks = 0;
    Instant firstTick{};
    auto repeating = scheduler.every(
        Seconds(2),
        [&] {
            if (ticks++ == 0)
                firstTick = scheduler.now();
        },
        true);
    scheduler.runDue();
    EXPECT_EQ(ticks, 1);
    scheduler.advance(Seconds(6));
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(scheduler.now() - firstTick, std::chrono::seconds(6));
    repeating.cancel();
    scheduler.advance(Seconds(6));
    EXPECT_EQ(ticks, 4);

    // Replacing a handle cancels what it held: restarting leaves one task.
    Scheduler::Handle timer = scheduler.schedule(Seconds(5), [&] { fired += 10; });
    timer = scheduler.schedule(Seconds(5), [&] { fired += 1; });
    EXPECT_EQ(scheduler.pendingCount(), 1u);
    scheduler.advance(Seconds(5));
    EXPECT_EQ(fired, 1);

    // A task may cancel its own repeating handle.
    Scheduler::Handle self;
    int selfRuns = 0;
    self = scheduler.every(Seconds(1), [&] {
        if (++selfRuns == 2)
            self.cancel();
    });
    scheduler.advance(Seconds(10));
    EXPECT_EQ(selfRuns, 2);
}

TEST(QtScheduler, RunsOnTheEventLoopInOrderAndHonoursCancel) {
    test::qtApp();
    QtScheduler scheduler;
    std::vector<int> order;
    auto b = scheduler.schedule(Seconds(0.03), [&] { order.push_back(2); });
    auto a = scheduler.schedule(Seconds(0.01), [&] { order.push_back(1); });
    auto cancelled = scheduler.schedule(Seconds(0.02), [&] { order.push_back(99); });
    cancelled.cancel();
    EXPECT_TRUE(order.empty()) << "nothing runs inside schedule()";
    ASSERT_TRUE(test::waitUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    const Instant before = scheduler.now();
    EXPECT_GE(std::chrono::duration_cast<Seconds>(scheduler.now() - before).count(), 0.0);
}

TEST(FrameLimiter, AsksComeTogetherIntoOneFrameAndFramesKeepTheirIntervalApart) {
    FakeScheduler scheduler;
    int frames = 0;
    FrameLimiter limiter(scheduler, Seconds(0.5), [&] { ++frames; });

    // The first frame comes at once, however often it was asked for.
    limiter.ask();
    limiter.ask();
    EXPECT_TRUE(limiter.isPending());
    scheduler.runDue();
    EXPECT_EQ(frames, 1);
    EXPECT_FALSE(limiter.isPending());

    // The next one waits for the interval since the last.
    scheduler.advance(Seconds(0.1));
    limiter.ask();
    limiter.ask();
    scheduler.advance(Seconds(0.39));
    EXPECT_EQ(frames, 1);
    scheduler.advance(Seconds(0.02));
    EXPECT_EQ(frames, 2);

    // Asked long after the last, it comes at once again.
    scheduler.advance(Seconds(3));
    limiter.ask();
    scheduler.runDue();
    EXPECT_EQ(frames, 3);
}

TEST(FrameLimiter, AFrameDrawnWithoutAskingCountsAndACancelledOneNeverComes) {
    FakeScheduler scheduler;
    int frames = 0;
    FrameLimiter limiter(scheduler, Seconds(0.5), [&] { ++frames; });
    scheduler.advance(Seconds(10));
    limiter.markDrawn();
    limiter.ask();
    scheduler.advance(Seconds(0.49));
    EXPECT_EQ(frames, 0);
    scheduler.advance(Seconds(0.02));
    EXPECT_EQ(frames, 1);

    limiter.ask();
    limiter.cancel();
    scheduler.advance(Seconds(5));
    EXPECT_EQ(frames, 1);
}
