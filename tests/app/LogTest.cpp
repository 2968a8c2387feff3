#include "log/Log.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace tolva;

namespace {

// A slow sink that writes on the log queue, to show that flush waits for it.
class SlowQueuedSink : public CaptureLogSink {
public:
    void write(const LogEntry& entry) override {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        CaptureLogSink::write(entry);
    }
    bool asynchronous() const override { return true; }
};

} // namespace

TEST(Log, CategoriesCarryTheirNames) {
    EXPECT_EQ(Log::lock.name(), "lock");
    EXPECT_EQ(Log::input.name(), "input");
    EXPECT_EQ(Log::auth.name(), "auth");
    EXPECT_EQ(Log::idle.name(), "idle");
    EXPECT_EQ(Log::ui.name(), "ui");
    EXPECT_EQ(Log::perms.name(), "permissions");
    EXPECT_EQ(Log::update.name(), "update");
    EXPECT_EQ(Log::subsystem, "org.tolva.Screen");
}

TEST(Log, WritesExactLinesAndGatesDebug) {
    ScopedLogCapture capture;
    Log::setDebugEnabled(false);
    Log::lock.info("lock begin reason=hotkey mode=liveTint");
    Log::perms.error("screen capture denied");
    Log::input.debug("escape hatch ignored in release build");
    Log::ui.info("");

    auto entries = capture.sink().entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].line(), "lock info: lock begin reason=hotkey mode=liveTint");
    EXPECT_EQ(entries[1].line(), "permissions error: screen capture denied");
    EXPECT_EQ(entries[2].line(), "ui info: ");
    EXPECT_EQ(entries[2].message, "");

    Log::setDebugEnabled(true);
    Log::input.debug("escape hatch ignored in release build");
    EXPECT_EQ(capture.messages("input"), std::vector<std::string>{"escape hatch ignored in release build"});
    EXPECT_EQ(capture.sink().entries().back().level, LogLevel::debug);
}

TEST(Log, FlushReturnsAtOnceWhenIdleAndWaitsForQueuedLines) {
    Log::flush(); // nothing was ever queued in this process
    auto sink = std::make_shared<SlowQueuedSink>();
    auto previous = Log::sink();
    Log::setSink(sink);
    for (int i = 0; i < 200; ++i)
        Log::auth.info("line " + std::to_string(i));
    Log::flush();
    auto messages = sink->messages();
    ASSERT_EQ(messages.size(), 200u);
    EXPECT_EQ(messages.front(), "line 0");
    EXPECT_EQ(messages.back(), "line 199");
    Log::flush(); // idle again
    Log::setSink(previous);
}

TEST(Log, StandardErrorSinkWritesCategoryLevelAndMessage) {
    testing::internal::CaptureStderr();
    StandardErrorLogSink().write({"idle", LogLevel::info, "idle threshold -> 300s"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "idle info: idle threshold -> 300s\n");
}

TEST(Log, LinesFromManyThreadsAreAllKept) {
    ScopedLogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i)
                Log::lock.info("t" + std::to_string(t));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.messages("lock").size(), 400u);
}
