// The capture race and its log lines.
#include "overlay/ScreenSnapshotter.h"

#include "log/Log.h"
#include "platform/Permissions.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

namespace tolva {

namespace {

// Whichever of the capture and the time limit finishes first decides; later finishes do nothing.
class OnceGate {
public:
    explicit OnceGate(std::function<void(std::optional<Snapshots>)> waiter) : waiter_(std::move(waiter)) {}
    void finish(std::optional<Snapshots> value) {
        std::function<void(std::optional<Snapshots>)> waiter;
        {
            std::lock_guard lock(mutex_);
            waiter = std::move(waiter_);
            waiter_ = nullptr;
        }
        if (waiter)
            waiter(std::move(value));
    }

private:
    std::mutex mutex_;
    std::function<void(std::optional<Snapshots>)> waiter_;
};

std::string secondsText(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3fs", seconds);
    return buffer;
}

} // namespace

ScreenSnapshotter::ScreenSnapshotter(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                                     std::shared_ptr<ScreenCaptureBackend> backend,
                                     std::function<bool()> permission)
    : scheduler_(scheduler), displays_(std::move(displays)), backend_(std::move(backend)),
      permission_(std::move(permission)) {}

ScreenSnapshotter::ScreenSnapshotter(Scheduler& scheduler, EventLoopCapture capture,
                                     std::function<bool()> permission)
    : scheduler_(scheduler), permission_(std::move(permission)), eventLoopCapture_(std::move(capture)) {}

bool ScreenSnapshotter::permitted() const {
    if (permission_())
        return true;
    Log::lock.error("snapshot skipped: no screen recording permission");
    return false;
}

void ScreenSnapshotter::captureAll(Seconds timeout, Completion done) {
    if (!permitted()) {
        done({});
        return;
    }
    const Instant start = scheduler_.now();
    Scheduler& scheduler = scheduler_;
    auto timer = std::make_shared<Scheduler::Handle>();
    auto gate = std::make_shared<OnceGate>([&scheduler, start, done, timer](std::optional<Snapshots> result) {
        // Always finish on the main thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&scheduler, start, done, timer, result = std::move(result)]() mutable {
                timer->cancel();
                const double elapsed = std::chrono::duration_cast<Seconds>(scheduler.now() - start).count();
                if (result) {
                    Log::lock.info("snapshot captured displays=" + std::to_string(result->size()) + " in " +
                                   secondsText(elapsed));
                    done(std::move(*result));
                } else {
                    Log::lock.error("snapshot failed or timed out after " + secondsText(elapsed));
                    done({});
                }
            },
            Qt::QueuedConnection);
    });
    *timer = scheduler_.schedule(timeout, [gate] { gate->finish(std::nullopt); });
    if (eventLoopCapture_) {
        eventLoopCapture_([gate](Snapshots pictures) { gate->finish(std::move(pictures)); });
        return;
    }
    std::vector<DisplayInfo> displays;
    for (auto& d : displays_->displays())
        if (d.id != 0)
            displays.push_back(d);
    std::thread([backend = backend_, displays, gate] {
        try {
            gate->finish(backend->capture(displays));
        } catch (...) {
            gate->finish(std::nullopt);
        }
    }).detach();
}

bool ScreenSnapshotter::requestPermission() {
    const bool granted = permission_();
    Log::perms.info(std::string("screen recording request -> ") + (granted ? "true" : "false"));
    return granted;
}

void ScreenSnapshotter::openSettings() {
    Permissions::openSettingsPage(Permissions::screenCaptureSettingsPage);
}

} // namespace tolva
