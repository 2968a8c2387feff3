// A small HTTP/1.1 server on 127.0.0.1 for update tests: serves fixed bodies by path and can
// misbehave on demand (cut a body short, never answer, stream a huge body without a length,
// redirect). Runs on the test's own event loop.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

#include <cstdint>

namespace tolva::test {

class TestHttpServer : public QObject {
public:
    struct Response {
        enum class Kind { body, truncated, hang, endless, redirect } kind = Kind::body;
        QByteArray body;        // body, truncated (the whole announced body), redirect (the target)
        qint64 streamBytes = 0; // endless: how much to offer, without a Content-Length
        int status = 200;
    };

    TestHttpServer();
    ~TestHttpServer() override;

    // "http://127.0.0.1:PORT"
    QString base() const;
    void serve(const QString& path, Response response) { routes_[path] = std::move(response); }
    void serve(const QString& path, const QByteArray& body) {
        serve(path, Response{Response::Kind::body, body});
    }

    // Paths requested so far, in order.
    QStringList requests() const { return requests_; }
    int requestCount(const QString& path) const { return int(requests_.count(path)); }
    // Body bytes handed to the socket for `endless` responses.
    qint64 streamedBytes() const { return streamed_; }

private:
    void answer(class QTcpSocket* socket, const QString& path);

    QTcpServer server_;
    QHash<QString, Response> routes_;
    QStringList requests_;
    qint64 streamed_ = 0;
};

} // namespace tolva::test
