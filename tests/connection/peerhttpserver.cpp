// Minimal HTTP server for the far end of a test veth pair: it runs in the
// peer namespace, answers every request with 200 and a body naming what it
// received, and reports each request on stdout so the test can see it arrive.
//
// Usage: peerhttpserver ADDRESS PORT
// Prints "ready" once listening, then per request one line:
//   request METHOD PATH BODY-LENGTH BODY-MD5-HEX
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

namespace {

void serve(QTcpSocket *socket)
{
    QByteArray buffer;
    auto onData = [socket, buffer]() mutable {
        buffer += socket->readAll();
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        qint64 length = 0;
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
                length = line.mid(colon + 1).trimmed().toLongLong();
        }
        if (buffer.size() - headEnd - 4 < length)
            return;
        const QByteArray body = buffer.mid(headEnd + 4, int(length));
        const QByteArray md5 = QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex();
        std::printf("request %s %s %lld %s\n", requestLine.value(0).constData(),
            requestLine.value(1).constData(), static_cast<long long>(body.size()), md5.constData());
        std::fflush(stdout);
        const QByteArray answer = "received " + QByteArray::number(body.size()) + ' ' + md5;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: "
            + QByteArray::number(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer);
        socket->disconnectFromHost();
        buffer.clear();
    };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, onData);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTcpServer server;
    if (argc != 3
        || !server.listen(QHostAddress(QString::fromLatin1(argv[1])), QByteArray(argv[2]).toUShort())) {
        std::fprintf(stderr, "usage: peerhttpserver ADDRESS PORT (%s)\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, [&server]() {
        while (QTcpSocket *socket = server.nextPendingConnection())
            serve(socket);
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
