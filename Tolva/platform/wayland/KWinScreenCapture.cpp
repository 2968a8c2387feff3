// One ScreenShot2.CaptureScreen call per output, its pixels read from a pipe on the event loop.
#include "platform/wayland/KWinScreenCapture.h"

#include "log/Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tolva {

namespace {
const QString service = QStringLiteral("org.kde.KWin");
const QString path = QStringLiteral("/org/kde/KWin/ScreenShot2");
const QString interface = QStringLiteral("org.kde.KWin.ScreenShot2");
} // namespace

// One output's capture: the read end of its pipe, what KWin said the picture is, and the bytes.
struct KWinScreenCapture::Capture {
    std::string output;
    int readEnd = -1;
    QSocketNotifier* notifier = nullptr; // owned by the capture's context
    bool described = false;
    int width = 0, height = 0, stride = 0;
    QImage::Format format = QImage::Format_Invalid;
    QByteArray data;
    bool finished = false;
    bool eof = false;

    ~Capture() {
        delete notifier;
        if (readEnd >= 0)
            ::close(readEnd);
    }
    qsizetype expected() const { return qsizetype(stride) * height; }
};

KWinScreenCapture::KWinScreenCapture(std::shared_ptr<WaylandConnection> connection, QDBusConnection bus)
    : connection_(std::move(connection)), bus_(std::move(bus)), context_(std::make_unique<QObject>()) {}

KWinScreenCapture::~KWinScreenCapture() {
    captures_.clear();
    context_.reset();
}

bool KWinScreenCapture::isAvailable() const {
    return bus_.isConnected() && bus_.interface() && bus_.interface()->isServiceRegistered(service).value();
}

void KWinScreenCapture::captureOutputs(std::function<void(Pictures)> done) {
    // A new context drops the watchers and notifiers of a capture still running.
    captures_.clear();
    context_ = std::make_unique<QObject>();
    pictures_.clear();
    failures_.clear();
    done_ = std::move(done);
    started_ = std::chrono::steady_clock::now();
    QObject* context = context_.get();

    for (const auto& info : connection_->outputInfos()) {
        auto capture = std::make_unique<Capture>();
        capture->output = info.name;
        Capture* raw = capture.get();
        captures_.push_back(std::move(capture));

        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            failures_[info.name] = "no pipe: " + std::string(std::strerror(errno));
            raw->finished = true;
            continue;
        }
        raw->readEnd = ends[0];
        {
            // KWin gets its own copy of the write end; ours closes when this block ends, so the
            // pipe reaches its end when KWin is done writing.
            QDBusUnixFileDescriptor writeEnd(ends[1]);
            ::close(ends[1]);
            QVariantMap options{{QStringLiteral("native-resolution"), true},
                                {QStringLiteral("include-cursor"), false}};
            QDBusMessage call =
                QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("CaptureScreen"));
            call << QString::fromStdString(info.name) << options << QVariant::fromValue(writeEnd);
            auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), context);
            QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [this, raw, watcher] {
                watcher->deleteLater();
                const QDBusPendingReply<QVariantMap> reply = *watcher;
                if (reply.isError()) {
                    failures_[raw->output] =
                        (reply.error().name() + ": " + reply.error().message()).toStdString();
                    finished(*raw);
                    return;
                }
                const QVariantMap result = reply.value();
                raw->width = result.value(QStringLiteral("width")).toInt();
                raw->height = result.value(QStringLiteral("height")).toInt();
                raw->stride = result.value(QStringLiteral("stride")).toInt();
                raw->format = QImage::Format(result.value(QStringLiteral("format")).toUInt());
                raw->described = true;
                if (result.value(QStringLiteral("type")).toString() != QStringLiteral("raw") ||
                    raw->width <= 0 || raw->height <= 0 || raw->stride < raw->width ||
                    raw->format == QImage::Format_Invalid || raw->format >= QImage::NImageFormats) {
                    failures_[raw->output] = "an unknown picture description";
                    finished(*raw);
                    return;
                }
                if (raw->eof || raw->data.size() >= raw->expected())
                    finished(*raw);
            });
        }
        raw->notifier = new QSocketNotifier(raw->readEnd, QSocketNotifier::Read);
        QObject::connect(raw->notifier, &QSocketNotifier::activated, context, [this, raw] {
            char chunk[65536];
            for (;;) {
                const ssize_t n = ::read(raw->readEnd, chunk, sizeof chunk);
                if (n > 0) {
                    raw->data.append(chunk, qsizetype(n));
                    continue;
                }
                if (n == 0)
                    raw->eof = true;
                else if (errno == EINTR)
                    continue;
                else if (errno != EAGAIN)
                    raw->eof = true;
                break;
            }
            if (raw->eof)
                raw->notifier->setEnabled(false);
            // KWin answers the call before it writes, but the two may be read in either order.
            if (raw->described && (raw->eof || raw->data.size() >= raw->expected()))
                finished(*raw);
        });
    }
    if (std::all_of(captures_.begin(), captures_.end(), [](const auto& c) { return c->finished; })) {
        QMetaObject::invokeMethod(
            context_.get(),
            [this] {
                auto done = std::move(done_);
                done_ = nullptr;
                if (done)
                    done(std::move(pictures_));
            },
            Qt::QueuedConnection);
    }
}

void KWinScreenCapture::finished(Capture& capture) {
    if (capture.finished)
        return;
    capture.finished = true;
    if (capture.notifier)
        capture.notifier->setEnabled(false);
    if (capture.described && !failures_.count(capture.output)) {
        if (capture.data.size() < capture.expected()) {
            failures_[capture.output] = "the picture ended after " + std::to_string(capture.data.size()) +
                                        " of " + std::to_string(capture.expected()) + " bytes";
        } else {
            const QImage view(reinterpret_cast<const uchar*>(capture.data.constData()), capture.width,
                              capture.height, capture.stride, capture.format);
            pictures_[capture.output] = view.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        }
    }
    if (failures_.count(capture.output))
        Log::lock.error("KWin: no picture of " + capture.output + ": " + failures_.at(capture.output));
    if (!std::all_of(captures_.begin(), captures_.end(), [](const auto& c) { return c->finished; }))
        return;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started_);
    Log::lock.info("KWin: " + std::to_string(pictures_.size()) + " of " + std::to_string(captures_.size()) +
                   " outputs captured in " + std::to_string(elapsed.count() / 1000.0) + " ms");
    // Handed over through the event loop: the caller may start another capture from `done`.
    QMetaObject::invokeMethod(
        context_.get(),
        [this] {
            auto done = std::move(done_);
            done_ = nullptr;
            auto pictures = std::move(pictures_);
            pictures_.clear();
            if (done)
                done(std::move(pictures));
        },
        Qt::QueuedConnection);
}

} // namespace tolva
