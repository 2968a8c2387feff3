// The X server's picture of each display: MIT-SHM where it can, GetImage otherwise.
#include "platform/x11/X11ScreenCapture.h"

#include "log/Log.h"
#include "platform/x11/XConnection.h"

#include <QScreen>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <future>

namespace tolva {

namespace {

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

} // namespace tolva
