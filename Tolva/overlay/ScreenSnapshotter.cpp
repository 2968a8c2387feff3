// The capture race, the X11 capture itself, and their log lines.
#include "overlay/ScreenSnapshotter.h"

#include "log/Log.h"
#include "platform/Permissions.h"
#include "platform/x11/XConnection.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <future>
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

QImage imageFromPixels(const std::uint8_t* data, int width, int height, int depth) {
    if (depth != 24 && depth != 32)
        return {};
    // ZPixmap at depth 24/32 on little-endian X servers is BGRX, which is QImage's RGB32.
    QImage image(data, width, height, width * 4, QImage::Format_RGB32);
    return image.copy(); // own the pixels
}

QImage captureWithShm(xcb_connection_t* c, xcb_window_t root, const QRect& r, int depth) {
    const std::size_t size = static_cast<std::size_t>(r.width()) * r.height() * 4;
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0)
        return {};
    auto* memory = static_cast<std::uint8_t*>(shmat(id, nullptr, 0));
    shmctl(id, IPC_RMID, nullptr); // freed once both sides detach
    if (memory == reinterpret_cast<std::uint8_t*>(-1))
        return {};
    QImage image;
    xcb_shm_seg_t segment = xcb_generate_id(c);
    auto attach = xreply(xcb_request_check(c, xcb_shm_attach_checked(c, segment, id, 0)));
    if (!attach) {
        auto reply =
            xreply(xcb_shm_get_image_reply(c,
                                           xcb_shm_get_image(c, root, r.x(), r.y(), r.width(), r.height(),
                                                             ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
                                           nullptr));
        if (reply)
            image = imageFromPixels(memory, r.width(), r.height(), depth);
        xcb_shm_detach(c, segment);
        xcb_flush(c);
    }
    shmdt(memory);
    return image;
}

} // namespace

QImage X11ScreenCapture::captureRegion(const QRect& r) {
    // A plain connection of this thread's own: captures of several displays run side by side.
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (!c || xcb_connection_has_error(c) || r.isEmpty()) {
        if (c)
            xcb_disconnect(c);
        return {};
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    QImage image;
    if (const auto* shm = xcb_get_extension_data(c, &xcb_shm_id); shm && shm->present)
        image = captureWithShm(c, screen->root, r, screen->root_depth);
    if (image.isNull()) {
        auto reply = xreply(xcb_get_image_reply(c,
                                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                                                              r.x(), r.y(), r.width(), r.height(), ~0u),
                                                nullptr));
        if (reply)
            image = imageFromPixels(xcb_get_image_data(reply.get()), r.width(), r.height(), reply->depth);
    }
    xcb_disconnect(c);
    return image;
}

Snapshots X11ScreenCapture::capture(const std::vector<DisplayInfo>& displays) {
    std::vector<std::pair<DisplayInfo, std::future<QImage>>> jobs;
    for (const auto& d : displays) {
        // Pixels, not logical points: the region at the display's device pixel ratio.
        const double ratio = d.screen ? d.screen->devicePixelRatio() : 1.0;
        const QRect pixels(QPoint(d.geometry.x() * ratio, d.geometry.y() * ratio), d.geometry.size() * ratio);
        jobs.emplace_back(d, std::async(std::launch::async, [pixels] { return captureRegion(pixels); }));
    }
    Snapshots images;
    for (auto& [display, job] : jobs) {
        QImage image = job.get();
        if (image.isNull())
            Log::lock.error("snapshot of display " + std::to_string(display.id) +
                            " failed: the X server sent no image");
        else
            images[display.id] = std::move(image);
    }
    return images;
}

ScreenSnapshotter::ScreenSnapshotter(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                                     std::shared_ptr<ScreenCaptureBackend> backend,
                                     std::function<bool()> permission)
    : scheduler_(scheduler), displays_(std::move(displays)), backend_(std::move(backend)),
      permission_(std::move(permission)) {}

ScreenSnapshotter::ScreenSnapshotter(Scheduler& scheduler, EventLoopCapture capture, std::function<bool()> permission)
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
