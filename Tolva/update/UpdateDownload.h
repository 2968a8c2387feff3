// One bounded HTTP transfer for the updater: the feed or an archive. Only HTTPS, or plain
// HTTP to a loopback address (local test feeds); redirects counted and checked the same way;
// a time limit for the whole transfer and a size cap that stops the transfer as soon as it is
// passed.
#pragma once

#include "update/UpdateError.h"

#include <QByteArray>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace tolva {

class UpdateDownload {
public:
    struct Limits {
        std::chrono::milliseconds timeLimit{30000};
        qint64 maxBytes = 1 << 20;
        int maxRedirects = 5;
    };
    struct Result {
        QByteArray data;
        std::optional<UpdateError> error;
    };
    // Which error codes a failure gets (the feed and the archive are told apart).
    struct Codes {
        UpdateError::Code failed;
        UpdateError::Code tooLarge;
        UpdateError::Code timedOut;
    };

    static bool isAllowedAddress(const QUrl& url);

    // Starts at once; `done` runs exactly once, from the event loop, unless this object is
    // destroyed first (which aborts the transfer).
    UpdateDownload(QNetworkAccessManager& network, const QUrl& url, Limits limits, Codes codes,
                   std::function<void(qint64 received, qint64 total)> progress,
                   std::function<void(Result)> done);
    ~UpdateDownload();
    UpdateDownload(const UpdateDownload&) = delete;
    UpdateDownload& operator=(const UpdateDownload&) = delete;

private:
    void fail(UpdateError error);
    void finish(Result result);

    Limits limits_;
    Codes codes_;
    std::function<void(qint64, qint64)> progress_;
    std::function<void(Result)> done_;
    QPointer<QNetworkReply> reply_;
    QTimer deadline_;
    QByteArray data_;
    int redirects_ = 0;
    bool finished_ = false;
    // Cleared by the destructor so a result still queued is dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace tolva
