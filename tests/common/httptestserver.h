#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QVector>

// One scripted answer, played on the connection of the request it answers:
// bytes exactly as given; the connection stays open unless a step closes it.
class HttpTestResponse
{
public:
    HttpTestResponse() = default;
    explicit HttpTestResponse(const QByteArray &raw) { send(raw); }

    HttpTestResponse &send(const QByteArray &bytes) { return add(Send, bytes); }
    // Pieces of pieceSize, each written out before the next, a pauseMs timer between them.
    HttpTestResponse &sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs = 0);
    HttpTestResponse &pause(int ms) { return add(Pause, QByteArray(), ms); }
    HttpTestResponse &waitForRelease() { return add(Release); } // until HttpTestServer::release()
    HttpTestResponse &close() { return add(Close); }
    // Last in a script: sends no more than n bytes of it, then closes.
    HttpTestResponse &closeAfter(qint64 n);
    // Played as soon as the request head is in, without waiting for its body.
    HttpTestResponse &beforeBody()
    {
        early = true;
        return *this;
    }

    enum Kind { Send, Pause, Release, Close };
    struct Step
    {
        Kind kind;
        QByteArray bytes;
        int ms;
    };
    QVector<Step> steps;
    bool early = false;

private:
    HttpTestResponse &add(Kind kind, const QByteArray &bytes = QByteArray(), int ms = 0)
    {
        steps.append({ kind, bytes, ms });
        return *this;
    }
};

// A request as the server received it.
struct HttpTestRequest
{
    int connection = -1; // 0-based index of the connection it came on
    QString peer; // the client's address, as the server saw it
    QByteArray raw; // every byte of it as received
    QByteArray method;
    QByteArray target; // request target exactly as sent
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers; // in order, values trimmed
    QByteArray body;

    QByteArray header(const QByteArray &name) const { return headerValues(name).value(0); }
    QList<QByteArray> headerValues(const QByteArray &name) const; // case-insensitive
    QList<QByteArray> headerNames() const;
};

// HTTP/1.1 server on 127.0.0.1 in the test's thread. Requests (framed by
// Content-Length, as the library sends them) get the queued responses in
// arrival order; with none queued and no default, a request waits. One the
// server cannot parse is recorded as it came, not answered, and ends the reading.
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0)
    {
        return m_server->listen(address, port);
    }
    quint16 port() const { return m_server->serverPort(); }
    static QString host() { return QStringLiteral("127.0.0.1"); }
    QString url(const QString &path = QStringLiteral("/")) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }

    void enqueue(const HttpTestResponse &response);
    void enqueue(const QByteArray &raw) { enqueue(HttpTestResponse(raw)); }
    void setDefaultResponse(const HttpTestResponse &response);
    // Every script held in waitForRelease() goes on; with none held, the next one to get there passes.
    void release();
    void closeAllConnections();

    QList<HttpTestRequest> requests() const { return m_requests; }
    HttpTestRequest request(int index) const { return m_requests.value(index); }
    int requestCount() const { return m_requests.size(); }
    int connectionCount() const { return m_connections.size(); }

    bool waitForRequests(int count, int timeoutMs = 10000);
    bool waitForOpenConnections(int count, int timeoutMs = 10000);

    // reply() adds Content-Length unless the headers frame the body.
    static QByteArray reply(int status, const QByteArray &body = QByteArray(),
        const QList<QByteArray> &headers = QList<QByteArray>());
    static QByteArray chunkedReply(int status, const QByteArray &body, int chunkSize);
    // Deterministic bytes: pattern(n, offset) == pattern(offset + n).mid(offset).
    static QByteArray pattern(qint64 size, qint64 offset = 0);

private:
    struct Connection;
    void read(Connection *c);
    void play(Connection *c);
    void dispatch();

    QTcpServer *m_server;
    QList<Connection *> m_connections;
    QList<HttpTestRequest> m_requests;
    QList<HttpTestResponse> m_queue;
    QList<Connection *> m_waiting; // requests without an answer, in order
    HttpTestResponse m_default;
    bool m_hasDefault = false;
    int m_freeReleases = 0; // release() calls that found nobody held
};

#endif // HTTPTESTSERVER_H
