// Bounded transfers over QNetworkAccessManager.
#include "update/UpdateDownload.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace tolva {

bool UpdateDownload::isAllowedAddress(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    if (url.scheme() != QLatin1String("http"))
        return false;
    // Plain HTTP never leaves the machine: only literal loopback addresses (a name could be
    // resolved elsewhere).
    const QHostAddress address(url.host());
    return !address.isNull() && address.isLoopback();
}

UpdateDownload::UpdateDownload(QNetworkAccessManager& network, const QUrl& url, Limits limits, Codes codes,
                               std::function<void(qint64, qint64)> progress, std::function<void(Result)> done)
    : limits_(limits), codes_(codes), progress_(std::move(progress)), done_(std::move(done)) {
    QNetworkRequest request(url);
    // Every redirect is looked at below before it is followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(limits.maxRedirects);
    request.setTransferTimeout(static_cast<int>(limits.timeLimit.count()));
    request.setRawHeader("Accept-Encoding", "identity");
    reply_ = network.get(request);
    QNetworkReply* reply = reply_;
    // Read no further ahead than this, so the size cap stops the transfer itself, not only
    // the copying of what was already received.
    reply->setReadBufferSize(64 << 10);

    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, [this] {
        fail({codes_.timedOut,
              QStringLiteral("no complete answer within %1 ms").arg(limits_.timeLimit.count())});
    });
    deadline_.start(limits.timeLimit);

    QObject::connect(reply, &QNetworkReply::redirected, [this, reply](const QUrl& target) {
        if (++redirects_ > limits_.maxRedirects) {
            fail({codes_.failed, QStringLiteral("too many redirects")});
            return;
        }
        if (!isAllowedAddress(target)) {
            fail({codes_.failed, QStringLiteral("redirect to a refused address")});
            return;
        }
        emit reply->redirectAllowed();
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, [this, reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limits_.maxBytes)
            fail({codes_.tooLarge, QStringLiteral("announced %1 bytes, more than the cap of %2")
                                       .arg(length.toLongLong())
                                       .arg(limits_.maxBytes)});
    });
    QObject::connect(reply, &QNetworkReply::readyRead, [this, reply] {
        data_ += reply->readAll();
        if (data_.size() > limits_.maxBytes) {
            fail({codes_.tooLarge, QStringLiteral("more than the cap of %1 bytes").arg(limits_.maxBytes)});
            return;
        }
        if (progress_) {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            progress_(data_.size(), length.isValid() ? length.toLongLong() : -1);
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, [this, reply] {
        if (finished_)
            return;
        data_ += reply->readAll();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::OperationCanceledError ||
            reply->error() == QNetworkReply::TimeoutError) {
            fail({codes_.timedOut, QStringLiteral("no answer within %1 ms").arg(limits_.timeLimit.count())});
            return;
        }
        if (reply->error() != QNetworkReply::NoError) {
            fail({codes_.failed, reply->errorString()});
            return;
        }
        if (status != 200) {
            fail({codes_.failed, QStringLiteral("HTTP status %1").arg(status)});
            return;
        }
        if (data_.size() > limits_.maxBytes) {
            fail({codes_.tooLarge, QStringLiteral("more than the cap of %1 bytes").arg(limits_.maxBytes)});
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() != data_.size()) {
            fail({codes_.failed, QStringLiteral("connection closed after %1 of %2 bytes")
                                     .arg(data_.size())
                                     .arg(length.toLongLong())});
            return;
        }
        finish({std::move(data_), std::nullopt});
    });
}

UpdateDownload::~UpdateDownload() {
    *alive_ = false;
    finished_ = true;
    if (reply_) {
        reply_->disconnect();
        reply_->abort();
        reply_->deleteLater();
    }
}

void UpdateDownload::fail(UpdateError error) {
    finish({{}, std::move(error)});
}

void UpdateDownload::finish(Result result) {
    if (finished_)
        return;
    finished_ = true;
    deadline_.stop();
    if (reply_) {
        reply_->disconnect();
        reply_->abort();
        reply_->deleteLater();
    }
    data_.clear();
    // Told from the event loop, so the owner may destroy this object in `done`.
    auto done = std::move(done_);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [alive = alive_, done = std::move(done), result = std::move(result)] {
            if (*alive)
                done(result);
        },
        Qt::QueuedConnection);
}

} // namespace tolva
