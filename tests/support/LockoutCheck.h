// The wait after wrong PINs, as the real program keeps it on any desktop. The program starts on a
// lock state whose free tries are used up (as a program killed after them leaves it); one more
// wrong PIN starts the first wait, the unlock panel counts it down, and the right PIN typed during
// it opens nothing: it is not even checked. The test ends while the wait runs.
#pragma once

#include "TolvaCore/UnlockBackoff.h"
#include "lock/LockStateStore.h"
#include "support/EndToEnd.h"

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace tolva::test {

// The lock state where the next program looks for it (the session's runtime folder), with every
// free try used up, and the program's debug lines on (they say what the unlock panel shows).
// Both go with this object, and with them whatever state the program wrote meanwhile: end the
// program before.
class NoFreeTryLeft {
public:
    NoFreeTryLeft() : store_(LockStateStore::standardFile()) {
        store_.save({UnlockBackoff().policy.freeAttempts, std::nullopt});
        ::setenv("TOLVA_LOG_DEBUG", "1", 1);
    }
    ~NoFreeTryLeft() {
        ::unsetenv("TOLVA_LOG_DEBUG");
        store_.remove();
    }
    NoFreeTryLeft(const NoFreeTryLeft&) = delete;
    NoFreeTryLeft& operator=(const NoFreeTryLeft&) = delete;

private:
    LockStateStore store_;
};

// With `app` locked on a NoFreeTryLeft state and its keys reaching it (an Escape went through
// last), types a wrong PIN and then the right one (4829) with `type` (evdev key codes), or the
// wrong one with `typeWrongPin` where the keys cannot be known to reach it before.
inline void expectTheWaitToHoldTheRightPin(App& app,
                                           const std::function<void(const std::vector<std::uint32_t>&)>& type,
                                           const std::function<void()>& typeWrongPin = {}) {
    using namespace std::chrono;
    const auto typed = steady_clock::now();
    if (typeWrongPin)
        typeWrongPin();
    else
        type({KEY_1, KEY_1, KEY_1, KEY_1});
    ASSERT_TRUE(app.waitFor("auth info: auth rejected via tap failures=5 lockout=30s")) << app.transcript();
    const auto checked = duration_cast<milliseconds>(steady_clock::now() - typed);
    ASSERT_TRUE(app.waitFor("ui debug: unlock panel: Too many attempts\\. Try again in 30 seconds", 5s))
        << app.transcript();

    // Typed once the wrong PIN was turned down, so it is not kept as the next try of a check.
    app.mark();
    type({KEY_4, KEY_8, KEY_2, KEY_9});
    // Checked, it would have opened in about the time the wrong one took to be turned down.
    const milliseconds grace = std::max(milliseconds(2000), 3 * checked);
    EXPECT_FALSE(app.waitFor("lock info: unlocked .*", grace)) << app.transcript();
    EXPECT_FALSE(app.sawSinceMark("auth info: .*")) << "a PIN was checked during the wait\n" << app.transcript();
    // The panel still counts the wait down.
    EXPECT_TRUE(app.saw("ui debug: unlock panel: Too many attempts\\. Try again in 29 seconds")) << app.transcript();
    EXPECT_FALSE(app.sawSinceMark("ui debug: unlock panel: (?!Too many attempts\\. Try again in [0-9]+ seconds$).*"))
        << app.transcript();
}

} // namespace tolva::test
