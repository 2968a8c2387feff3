// The update tests' HTTP server.
#include "support/TestHttpServer.h"

#include <QTcpSocket>

namespace tolva::test {

TestHttpServer::TestHttpServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto* request = new QByteArray;
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, request] {
                delete request;
                socket->deleteLater();
            });
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
                if (request->contains("\r\n\r\n"))
                    return; // answered already
                *request += socket->readAll();
                const qsizetype end = request->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QList<QByteArray> line = request->left(request->indexOf("\r\n")).split(' ');
                answer(socket, line.size() >= 2 ? QString::fromLatin1(line[1]) : QString());
            });
        }
    });
}

TestHttpServer::~TestHttpServer() {
    server_.close();
}

QString TestHttpServer::base() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
}

void TestHttpServer::answer(QTcpSocket* socket, const QString& path) {
    requests_ << path;
    if (!routes_.contains(path)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const Response& response = routes_[path];
    switch (response.kind) {
    case Response::Kind::hang:
        return; // the connection stays open and silent
    case Response::Kind::redirect:
        socket->write("HTTP/1.1 302 Found\r\nLocation: " + response.body +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    case Response::Kind::body:
    case Response::Kind::truncated: {
        socket->write("HTTP/1.1 " + QByteArray::number(response.status) + " OK\r\nContent-Length: " +
                      QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n");
        socket->write(response.kind == Response::Kind::body ? response.body
                                                            : response.body.left(response.body.size() / 2));
        socket->disconnectFromHost();
        return;
    }
    case Response::Kind::endless: {
        // Close-delimited: the client learns the size only by counting.
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n");
        const qint64 total = response.streamBytes;
        auto* offered = new qint64(0);
        auto more = [this, socket, total, offered] {
            // Keep a little in flight so the client's reads pace the writes.
            if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > (256 << 10))
                return;
            const QByteArray chunk(64 << 10, 'x');
            while (*offered < total && socket->bytesToWrite() < (256 << 10)) {
                const qint64 n = std::min<qint64>(chunk.size(), total - *offered);
                socket->write(chunk.constData(), n);
                *offered += n;
                streamed_ += n;
            }
            if (*offered >= total)
                socket->disconnectFromHost();
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        QObject::connect(socket, &QObject::destroyed, [offered] { delete offered; });
        more();
        return;
    }
    }
}

} // namespace tolva::test
