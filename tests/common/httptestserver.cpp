#include "httptestserver.h"

#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>

HttpTestResponse &HttpTestResponse::sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs)
{
    pieceSize = qMax(1, pieceSize);
    for (int i = 0; i < bytes.size(); i += pieceSize) {
        if (i > 0)
            pause(pauseMs);
        send(bytes.mid(i, pieceSize));
    }
    return *this;
}

QByteArray HttpTestRequest::header(const QByteArray &name) const
{
    return headerValues(name).value(0);
}

QList<QByteArray> HttpTestRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> out;
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            out << h.second;
    return out;
}

QList<QByteArray> HttpTestRequest::headerNames() const
{
    QList<QByteArray> out;
    for (const auto &h : headers)
        out << h.first;
    return out;
}

// One accepted connection: parses the requests arriving on it and plays the
// responses assigned to it, one after another.
class HttpTestServer::Connection : public QObject
{
public:
    Connection(HttpTestServer *server, QTcpSocket *socket)
        : QObject(server)
        , m_server(server)
        , m_socket(socket)
    {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readIncoming);
        connect(socket, &QTcpSocket::disconnected, this, [this] { m_open = false; });
    }

    bool isOpen() const { return m_open; }
    QString peer() const { return m_socket->peerAddress().toString(); }

    void assign(const HttpTestResponse &r)
    {
        m_scripts.append(r);
        if (!m_playing)
            nextScript();
    }

    bool waitingForRelease() const { return m_playing && m_waitRelease; }
    void resume()
    {
        m_waitRelease = false;
        play();
    }
    void closeNow()
    {
        if (m_open)
            m_socket->disconnectFromHost();
    }

private:
    enum ParseState { Head, Body, Broken };

    void readIncoming()
    {
        m_in += m_socket->readAll();
        parse();
    }

    bool takeLine(QByteArray *line)
    {
        const int lf = m_in.indexOf('\n');
        if (lf < 0)
            return false;
        *line = m_in.left(lf + 1);
        m_in.remove(0, lf + 1);
        m_req.raw += *line;
        line->chop(1);
        if (line->endsWith('\r'))
            line->chop(1);
        return true;
    }

    void takeBody(qint64 n)
    {
        m_req.body += m_in.left(int(n));
        m_req.raw += m_in.left(int(n));
        m_req.bodySize += n;
        m_in.remove(0, int(n));
    }

    void parse()
    {
        while (!m_in.isEmpty() && m_state != Broken) {
            QByteArray line;
            if (m_state != Body && !takeLine(&line))
                return;
            switch (m_state) {
            case Head:
                if (m_req.method.isEmpty()) {
                    if (line.isEmpty())
                        break;
                    const QList<QByteArray> parts = line.split(' ');
                    if (parts.size() != 3)
                        return broken();
                    m_req.method = parts[0];
                    m_req.target = parts[1];
                    m_req.version = parts[2];
                } else if (!line.isEmpty()) {
                    const int colon = line.indexOf(':');
                    if (colon <= 0)
                        return broken();
                    m_req.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
                } else {
                    headDone();
                }
                break;
            case Body: {
                const qint64 n = qMin(m_remaining, qint64(m_in.size()));
                takeBody(n);
                m_remaining -= n;
                if (m_remaining == 0)
                    complete();
                break;
            }
            case Broken:
                return;
            }
        }
    }

    void headDone()
    {
        // The library frames every body by Content-Length: any other framing is malformed here.
        if (!m_req.header("transfer-encoding").isEmpty())
            return broken();
        if (!m_req.header("content-length").isEmpty()) {
            m_remaining = m_req.header("content-length").toLongLong();
            m_state = Body;
        }
        if (!m_server->m_queue.isEmpty() && m_server->m_queue.first().early) {
            m_answered = true;
            assign(m_server->m_queue.takeFirst());
        }
        if (m_state == Head || (m_state == Body && m_remaining == 0))
            complete();
    }

    void broken()
    {
        m_req.malformed = true;
        m_req.raw += m_in;
        m_in.clear();
        m_state = Broken;
        m_server->requestComplete(this, m_req, m_answered);
    }

    void complete()
    {
        HttpTestRequest r = m_req;
        const bool answered = m_answered;
        m_req = HttpTestRequest();
        m_state = Head;
        m_remaining = 0;
        m_answered = false;
        m_server->requestComplete(this, r, answered);
    }

    void nextScript()
    {
        if (m_scripts.isEmpty()) {
            m_playing = false;
            return;
        }
        m_current = m_scripts.takeFirst();
        m_step = 0;
        m_sent = 0;
        m_playing = true;
        play();
    }

    // Writes bytes, honouring the script's byte limit. Returns false when the
    // limit cut the script short.
    bool write(const QByteArray &bytes)
    {
        QByteArray out = bytes;
        bool cut = false;
        if (m_current.byteLimit >= 0 && m_sent + out.size() >= m_current.byteLimit) {
            out.truncate(int(m_current.byteLimit - m_sent));
            cut = true;
        }
        if (m_open && !out.isEmpty()) {
            m_socket->write(out);
            m_socket->flush();
        }
        m_sent += out.size();
        if (cut) {
            closeNow();
            m_scripts.clear();
            m_playing = false;
        }
        return !cut;
    }

    void play()
    {
        if (m_inPlay)
            return; // flush() inside write() may report bytes written at once
        m_inPlay = true;
        playSteps();
        m_inPlay = false;
    }

    void playSteps()
    {
        QPointer<Connection> self(this);
        while (m_playing && m_step < m_current.steps.size()) {
            const HttpTestResponse::Step &step = m_current.steps.at(m_step);
            switch (step.kind) {
            case HttpTestResponse::Step::Send:
                ++m_step;
                if (!write(step.bytes))
                    return;
                break;
            case HttpTestResponse::Step::Pause:
                ++m_step;
                QTimer::singleShot(int(step.amount), this, [this] { play(); });
                return;
            case HttpTestResponse::Step::Release:
                ++m_step;
                if (m_server->m_freeReleases > 0) {
                    --m_server->m_freeReleases;
                    break;
                }
                m_waitRelease = true;
                return;
            case HttpTestResponse::Step::Close:
                closeNow();
                m_scripts.clear();
                m_playing = false;
                return;
            }
        }
        if (self && m_playing && !m_waitRelease) {
            m_inPlay = false;
            nextScript();
        }
    }

    HttpTestServer *m_server;
    QTcpSocket *m_socket;
    bool m_open = true;
    QByteArray m_in;

    ParseState m_state = Head;
    HttpTestRequest m_req;
    qint64 m_remaining = 0;
    bool m_answered = false;

    QList<HttpTestResponse> m_scripts;
    HttpTestResponse m_current;
    int m_step = 0;
    qint64 m_sent = 0;
    bool m_playing = false;
    bool m_waitRelease = false;
    bool m_inPlay = false;
};

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpTestServer::accept);
}

bool HttpTestServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 HttpTestServer::port() const
{
    return m_server->serverPort();
}

QString HttpTestServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpTestServer::accept()
{
    while (QTcpSocket *s = m_server->nextPendingConnection())
        m_connections.append(new Connection(this, s));
}

void HttpTestServer::enqueue(const HttpTestResponse &response)
{
    m_queue.append(response);
    dispatch();
}

void HttpTestServer::setDefaultResponse(const HttpTestResponse &response)
{
    m_default = response;
    m_hasDefault = true;
    dispatch();
}

void HttpTestServer::release()
{
    bool any = false;
    for (Connection *c : qAsConst(m_connections)) {
        if (c->waitingForRelease()) {
            any = true;
            c->resume();
        }
    }
    if (!any)
        ++m_freeReleases;
}

void HttpTestServer::closeAllConnections()
{
    for (Connection *c : qAsConst(m_connections))
        c->closeNow();
}

int HttpTestServer::openConnectionCount() const
{
    return int(
        std::count_if(m_connections.begin(), m_connections.end(), [](Connection *c) { return c->isOpen(); }));
}

void HttpTestServer::requestComplete(Connection *c, const HttpTestRequest &r, bool answered)
{
    m_requests.append(r);
    m_requests.last().connection = m_connections.indexOf(c);
    m_requests.last().peer = c->peer();
    if (!answered && !r.malformed)
        m_waiting.append(c);
    dispatch();
}

void HttpTestServer::dispatch()
{
    while (!m_waiting.isEmpty() && (!m_queue.isEmpty() || m_hasDefault)) {
        Connection *c = m_waiting.takeFirst();
        if (!c->isOpen())
            continue;
        c->assign(m_queue.isEmpty() ? m_default : m_queue.takeFirst());
    }
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

bool HttpTestServer::waitForOpenConnections(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return openConnectionCount() == count; }, timeoutMs);
}

QByteArray HttpTestServer::reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases { { 100, "Continue" }, { 200, "OK" }, { 201, "Created" },
        { 204, "No Content" }, { 304, "Not Modified" }, { 400, "Bad Request" }, { 401, "Unauthorized" },
        { 403, "Forbidden" }, { 404, "Not Found" }, { 407, "Proxy Authentication Required" },
        { 500, "Internal Server Error" }, { 503, "Service Unavailable" } };
    return phrases.value(status, "Status");
}

static QByteArray statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpTestServer::reasonPhrase(status) + "\r\n";
}

QByteArray HttpTestServer::reply(int status, const QByteArray &body, const QList<QByteArray> &headers)
{
    QByteArray out = statusLine(status);
    bool haveLength = false;
    for (const QByteArray &h : headers) {
        out += h + "\r\n";
        haveLength
            |= h.toLower().startsWith("content-length:") || h.toLower().startsWith("transfer-encoding:");
    }
    if (!haveLength)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

QByteArray HttpTestServer::chunkedReply(
    int status, const QByteArray &body, int chunkSize, const QList<QByteArray> &trailers)
{
    QByteArray out = statusLine(status) + "Transfer-Encoding: chunked\r\n\r\n";
    chunkSize = qMax(1, chunkSize);
    for (int i = 0; i < body.size(); i += chunkSize) {
        const QByteArray piece = body.mid(i, chunkSize);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    out += "0\r\n";
    for (const QByteArray &t : trailers)
        out += t + "\r\n";
    return out + "\r\n";
}

QByteArray HttpTestServer::closeDelimitedReply(int status, const QByteArray &body)
{
    return statusLine(status) + "Connection: close\r\n\r\n" + body;
}

QByteArray HttpTestServer::pattern(qint64 size, qint64 offset)
{
    QByteArray out(int(size), Qt::Uninitialized);
    char *p = out.data();
    for (qint64 i = 0; i < size; ++i)
        p[i] = char((offset + i) % 251);
    return out;
}
