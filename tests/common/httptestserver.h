#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QVector>

class QTcpServer;
class QTcpSocket;

// One scripted answer: steps played in order on the connection of the request
// it answers. The bytes are sent exactly as given, so a script can be any
// response, well-formed or not. Build it fluently:
//
//   HttpTestResponse(HttpTestServer::reply(200, "hello"))          // one piece
//   HttpTestResponse().sendInPieces(raw, 1, 5)                     // 1 byte each, 5 ms apart
//   HttpTestResponse().send(head).waitForRelease().send(rest)      // until server.release()
//   HttpTestResponse(raw).closeAfter(17)                           // cut at byte 17, then close
//   HttpTestResponse().close()                                     // close without answering
//
// After the last step the connection stays open (keep-alive) unless close()
// or closeAfter() ended it.
class HttpTestResponse
{
public:
    HttpTestResponse() = default;
    explicit HttpTestResponse(const QByteArray &raw) { send(raw); }

    HttpTestResponse &send(const QByteArray &bytes) { return add(Step::Send, bytes); }
    // Pieces of pieceSize, each written out before the next; pauseMs > 0 puts a timer between them.
    HttpTestResponse &sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs = 0);
    HttpTestResponse &pause(int ms) { return add(Step::Pause, QByteArray(), ms); }
    HttpTestResponse &waitForRelease() { return add(Step::Release); }
    HttpTestResponse &close() { return add(Step::Close); } // FIN once everything before is written
    // Sends no more than n bytes of the whole script, then closes.
    HttpTestResponse &closeAfter(qint64 n)
    {
        byteLimit = n;
        return *this;
    }
    // Play as soon as the request head is in, without waiting for its body.
    HttpTestResponse &beforeBody()
    {
        early = true;
        return *this;
    }

    struct Step
    {
        enum Kind { Send, Pause, Release, Close } kind;
        QByteArray bytes;
        qint64 amount = 0; // pause in ms
    };
    QVector<Step> steps;
    qint64 byteLimit = -1;
    bool early = false;

private:
    HttpTestResponse &add(Step::Kind kind, const QByteArray &bytes = QByteArray(), qint64 amount = 0)
    {
        steps.append({ kind, bytes, amount });
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
    QByteArray version; // "HTTP/1.1"
    QList<QPair<QByteArray, QByteArray>> headers; // in order, as sent (values trimmed)
    QByteArray body;
    qint64 bodySize = 0;
    bool malformed = false; // framing the server could not parse; nothing more is read

    QByteArray header(const QByteArray &name) const; // first value, case-insensitive
    QList<QByteArray> headerValues(const QByteArray &name) const;
    QList<QByteArray> headerNames() const;
};

// Scriptable HTTP/1.1 server on 127.0.0.1 for tests, in the test's own
// thread. It parses request framing (Content-Length bodies, several
// requests per connection; the library sends no other, so any other is
// malformed) and answers each complete request with the
// next queued HttpTestResponse, in arrival order; a request with no response
// queued yet waits for one (so a test can look at the request first and then
// decide), unless a default response is set.
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpTestServer(QObject *parent = nullptr);

    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0);
    quint16 port() const;
    static QString host() { return QStringLiteral("127.0.0.1"); }
    QString url(const QString &path = QStringLiteral("/")) const;

    void enqueue(const HttpTestResponse &response);
    void enqueue(const QByteArray &raw) { enqueue(HttpTestResponse(raw)); }
    void setDefaultResponse(const HttpTestResponse &response);
    // Every script waiting in waitForRelease() goes on; when none is waiting,
    // the next one to reach waitForRelease() passes at once.
    void release();
    void closeAllConnections();

    QList<HttpTestRequest> requests() const { return m_requests; }
    HttpTestRequest request(int index) const { return m_requests.value(index); }
    int requestCount() const { return m_requests.size(); }
    int connectionCount() const { return m_connections.size(); }
    int openConnectionCount() const;

    // Wait (running the event loop) until the condition holds; false on timeout.
    bool waitForRequests(int count, int timeoutMs = 10000);
    bool waitForOpenConnections(int count, int timeoutMs = 10000);

    // Response builders. reply() adds Content-Length unless the headers give
    // a Content-Length or Transfer-Encoding; closeDelimitedReply() has neither,
    // so its script must end with close().
    static QByteArray reply(int status, const QByteArray &body = QByteArray(),
        const QList<QByteArray> &headers = QList<QByteArray>());
    static QByteArray chunkedReply(int status, const QByteArray &body, int chunkSize,
        const QList<QByteArray> &trailers = QList<QByteArray>());
    static QByteArray closeDelimitedReply(int status, const QByteArray &body);
    static QByteArray reasonPhrase(int status);
    // Deterministic bytes: pattern(n, offset) == pattern(offset + n).mid(offset).
    static QByteArray pattern(qint64 size, qint64 offset = 0);

private:
    class Connection;
    friend class Connection;

    void accept();
    void requestComplete(Connection *c, const HttpTestRequest &r, bool early);
    void dispatch();

    QTcpServer *m_server;
    QList<Connection *> m_connections;
    QList<HttpTestRequest> m_requests;
    QList<HttpTestResponse> m_queue;
    QList<Connection *> m_waiting; // requests without an answer, in order
    HttpTestResponse m_default;
    bool m_hasDefault = false;
    int m_freeReleases = 0; // release() calls that found nobody waiting
};

#endif // HTTPTESTSERVER_H
