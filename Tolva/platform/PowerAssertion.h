// Keeps the display awake from the moment a lock is performed until unlock or until the lock's
// keep-awake period ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tolva {

// The system service that holds the display awake.
class DisplaySleepBackend {
public:
    virtual ~DisplaySleepBackend() = default;
    // 0 and the id on success (any value, 0 included: a D-Bus cookie may be 0), else the
    // failure status.
    virtual std::int32_t create(std::uint32_t& id) = 0;
    virtual void release(std::uint32_t id) = 0;
};

class PowerAssertion {
public:
    explicit PowerAssertion(std::shared_ptr<DisplaySleepBackend> backend) : backend_(std::move(backend)) {}
    ~PowerAssertion() = default; // the owner releases explicitly

    // Takes the assertion unless one is held.
    void start();
    // Releases a held assertion; nothing happens without one.
    void release();
    bool isHeld() const { return held_; }
    // The backend's id of the held assertion (meaningful only while held).
    std::uint32_t id() const { return id_; }

private:
    std::shared_ptr<DisplaySleepBackend> backend_;
    bool held_ = false;
    std::uint32_t id_ = 0;
};

} // namespace tolva
