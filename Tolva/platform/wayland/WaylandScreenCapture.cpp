// One screencopy frame per output into shared memory, turned into QImages.
#include "platform/wayland/WaylandScreenCapture.h"

#include "log/Log.h"
#include "platform/wayland/ShmBuffer.h"
#include "platform/wayland/WaylandProtocols.h"

#include <QCoreApplication>

#include <algorithm>

namespace tolva {

struct WaylandScreenCapture::Frame {
    WaylandScreenCapture* capture = nullptr;
    std::string output;
    zwlr_screencopy_frame_v1* frame = nullptr;
    std::uint32_t format = 0;
    int width = 0, height = 0, stride = 0;
    bool offered = false; // a wl_shm buffer kind was described
    bool yInvert = false;
    bool finished = false;
    std::unique_ptr<ShmBuffer> buffer;
    QImage picture;

    ~Frame() {
        if (frame)
            zwlr_screencopy_frame_v1_destroy(frame);
    }

    void copy() {
        if (!offered || buffer)
            return;
        buffer = ShmBuffer::create(capture->connection_->shm(), width, height, format, stride);
        if (!buffer) {
            finish();
            return;
        }
        zwlr_screencopy_frame_v1_copy(frame, buffer->buffer());
    }

    void ready() {
        // The formats sway offers are 32-bit ones; QImage reads each of them without conversion.
        QImage::Format imageFormat = QImage::Format_Invalid;
        switch (format) {
        case WL_SHM_FORMAT_XRGB8888:
            imageFormat = QImage::Format_RGB32;
            break;
        case WL_SHM_FORMAT_ARGB8888:
            imageFormat = QImage::Format_ARGB32_Premultiplied;
            break;
        case WL_SHM_FORMAT_XBGR8888:
            imageFormat = QImage::Format_RGBX8888;
            break;
        case WL_SHM_FORMAT_ABGR8888:
            imageFormat = QImage::Format_RGBA8888_Premultiplied;
            break;
        default:
            Log::lock.error("Wayland: the copy of " + output + " came in an unknown format " +
                            std::to_string(format));
            break;
        }
        if (imageFormat != QImage::Format_Invalid) {
            const QImage view(buffer->data(), width, height, stride, imageFormat);
            // A copy of its own: the shared memory goes with the frame.
            picture = imageFormat == QImage::Format_RGB32 ? view.copy()
                                                          : view.convertToFormat(QImage::Format_RGB32);
            if (yInvert)
                picture = picture.mirrored(false, true);
        }
        finish();
    }

    void finish() {
        finished = true;
        capture->finished(this);
    }
};

struct WaylandScreenCaptureListeners {
    using Frame = WaylandScreenCapture::Frame;
    static Frame& of(void* data) { return *static_cast<Frame*>(data); }
    static void buffer(void* data, zwlr_screencopy_frame_v1* proxy, uint32_t format, uint32_t width,
                       uint32_t height, uint32_t stride) {
        auto& frame = of(data);
        frame.format = format;
        frame.width = int(width);
        frame.height = int(height);
        frame.stride = int(stride);
        frame.offered = true;
        // Before version 3 no buffer_done follows: this is the only offer.
        if (zwlr_screencopy_frame_v1_get_version(proxy) < 3)
            frame.copy();
    }
    static void flags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
        of(data).yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    }
    static void ready(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        of(data).ready();
    }
    static void failed(void* data, zwlr_screencopy_frame_v1*) {
        Log::lock.error("Wayland: the compositor could not copy " + of(data).output);
        of(data).finish();
    }
    static void damage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
    static void linuxDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
    static void bufferDone(void* data, zwlr_screencopy_frame_v1*) {
        if (!of(data).offered) {
            of(data).finish(); // only GPU buffers offered
            return;
        }
        of(data).copy();
    }
    static constexpr zwlr_screencopy_frame_v1_listener listener = {
        .buffer = buffer,
        .flags = flags,
        .ready = ready,
        .failed = failed,
        .damage = damage,
        .linux_dmabuf = linuxDmabuf,
        .buffer_done = bufferDone,
    };
};

WaylandScreenCapture::WaylandScreenCapture(std::shared_ptr<WaylandConnection> connection)
    : connection_(std::move(connection)), context_(std::make_unique<QObject>()) {}

WaylandScreenCapture::~WaylandScreenCapture() {
    context_.reset();
    frames_.clear();
    connection_->flush();
}

bool WaylandScreenCapture::isAvailable() const {
    return connection_->isConnected() && connection_->screencopyManager() && connection_->shm();
}

void WaylandScreenCapture::captureOutputs(std::function<void(Pictures)> done) {
    frames_.clear();
    pictures_.clear();
    ++generation_;
    done_ = std::move(done);
    if (isAvailable()) {
        for (const auto& output : connection_->outputs()) {
            if (!output->done)
                continue;
            auto frame = std::make_unique<Frame>();
            frame->capture = this;
            frame->output = output->info.name;
            frame->frame = zwlr_screencopy_manager_v1_capture_output(connection_->screencopyManager(), 0,
                                                                     output->output);
            zwlr_screencopy_frame_v1_add_listener(frame->frame, &WaylandScreenCaptureListeners::listener,
                                                  frame.get());
            frames_.push_back(std::move(frame));
        }
        connection_->flush();
    }
    if (frames_.empty())
        finished(nullptr);
}

void WaylandScreenCapture::finished(Frame* frame) {
    if (frame != nullptr && !frame->picture.isNull())
        pictures_[frame->output] = frame->picture;
    if (!std::all_of(frames_.begin(), frames_.end(), [](const auto& f) { return f->finished; }))
        return;
    // Frames are destroyed outside their own event handlers.
    QMetaObject::invokeMethod(
        context_.get(),
        [this, generation = generation_] {
            if (generation != generation_)
                return; // a newer capture replaced this one
            frames_.clear();
            auto done = std::move(done_);
            done_ = nullptr;
            if (done)
                done(std::move(pictures_));
            pictures_.clear();
        },
        Qt::QueuedConnection);
}

} // namespace tolva
