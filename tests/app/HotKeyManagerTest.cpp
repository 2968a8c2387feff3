#include "platform/HotKeyManager.h"
#include "log/Log.h"
#include "platform/PowerAssertion.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {

struct FakeHotKeyBackend : HotKeyBackend {
    std::int32_t refuseWith = 0;
    int registrations = 0, unregistrations = 0;
    std::int32_t registerHotKey(const HotKey&) override {
        ++registrations;
        return refuseWith;
    }
    void unregisterHotKey() override { ++unregistrations; }
};

struct FakeDisplaySleep : DisplaySleepBackend {
    std::int32_t status = 0;
    int created = 0, released = 0;
    std::int32_t create(std::uint32_t& id) override {
        ++created;
        id = status == 0 ? 7 : 0;
        return status;
    }
    void release(std::uint32_t) override { ++released; }
};

} // namespace

TEST(HotKeyManager, RegistrationRules) {
    ScopedLogCapture log;
    auto backend = std::make_unique<FakeHotKeyBackend>();
    auto* fake = backend.get();
    HotKeyManager manager(std::move(backend));
    const HotKey key{37, {HotKeyModifiers::control | HotKeyModifiers::option | HotKeyModifiers::command}};

    EXPECT_TRUE(manager.registerHotKey(std::nullopt));
    EXPECT_TRUE(manager.registerHotKey(key));
    EXPECT_TRUE(manager.registerHotKey(key)); // no change: nothing unregistered or logged
    EXPECT_EQ(fake->registrations, 1);
    EXPECT_EQ(fake->unregistrations, 0);
    EXPECT_EQ(manager.current(), key);

    EXPECT_TRUE(manager.registerHotKey(HotKey{37, {HotKeyModifiers::shift}})); // invalid: old one removed
    EXPECT_EQ(manager.current(), std::nullopt);
    EXPECT_EQ(fake->registrations, 1);
    EXPECT_TRUE(manager.registerHotKey(std::nullopt));

    int refusalChanges = 0;
    manager.onRefusalChanged = [&] { ++refusalChanges; };
    EXPECT_EQ(manager.refusal(), std::nullopt);
    fake->refuseWith = 10;
    EXPECT_FALSE(manager.registerHotKey(key));
    EXPECT_EQ(manager.current(), std::nullopt);
    EXPECT_EQ(log.messages("input"),
              (std::vector<std::string>{"hotkey registered ⌃⌥⌘L", "hotkey unregistered",
                                        "hotkey register failed status=10 key=⌃⌥⌘L"}));
    // The refused shortcut is kept, with its status, for the tray and the settings to show.
    ASSERT_TRUE(manager.refusal().has_value());
    EXPECT_EQ(manager.refusal()->hotKey, key);
    EXPECT_TRUE(manager.refusal()->isTaken());
    EXPECT_EQ(refusalChanges, 1);
    EXPECT_FALSE(manager.registerHotKey(key)) << "asked again: refused again";
    EXPECT_EQ(refusalChanges, 1) << "the same refusal is no change";
    fake->refuseWith = 2;
    const HotKey other{40, {HotKeyModifiers::control | HotKeyModifiers::option}};
    EXPECT_FALSE(manager.registerHotKey(other));
    EXPECT_EQ(manager.refusal(), (HotKeyRefusal{other, 2}));
    EXPECT_FALSE(manager.refusal()->isTaken());
    EXPECT_TRUE(manager.registerHotKey(std::nullopt));
    EXPECT_EQ(manager.refusal(), std::nullopt) << "no shortcut wanted: nothing refused";
    EXPECT_FALSE(manager.registerHotKey(key));
    fake->refuseWith = 0;
    EXPECT_TRUE(manager.registerHotKey(key));
    EXPECT_EQ(manager.refusal(), std::nullopt) << "registered at last";
    EXPECT_EQ(refusalChanges, 5);

    int presses = 0;
    manager.onPressed = [&] { ++presses; };
    fake->pressed();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(log.messages("input").back(), "hotkey pressed");
}

TEST(PowerAssertion, OneAssertionAndQuietRelease) {
    ScopedLogCapture log;
    auto backend = std::make_shared<FakeDisplaySleep>();
    PowerAssertion assertion(backend);
    assertion.release(); // nothing held: nothing logged
    assertion.start();
    assertion.start();
    EXPECT_EQ(backend->created, 1);
    EXPECT_EQ(assertion.id(), 7u);
    assertion.release();
    assertion.release();
    EXPECT_EQ(backend->released, 1);
    backend->status = 3;
    assertion.start();
    EXPECT_EQ(assertion.id(), 0u);
    EXPECT_EQ(log.messages("lock"),
              (std::vector<std::string>{"display-sleep assertion on", "display-sleep assertion off",
                                        "display-sleep assertion failed rc=3"}));
}
