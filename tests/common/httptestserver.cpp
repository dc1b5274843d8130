#include "httptestserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>

HttpTestResponse &HttpTestResponse::sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs)
{
    for (int i = 0; i < bytes.size(); i += qMax(1, pieceSize))
        (i > 0 ? pause(pauseMs) : *this).send(bytes.mid(i, qMax(1, pieceSize)));
    return *this;
}

HttpTestResponse &HttpTestResponse::closeAfter(qint64 n)
{
    for (int i = 0; i < steps.size(); ++i) {
        if (steps[i].kind != Send)
            continue;
        if (n <= steps[i].bytes.size()) {
            steps[i].bytes.truncate(int(n));
            steps.resize(i + 1);
            return close();
        }
        n -= steps[i].bytes.size();
    }
    return *this;
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

struct HttpTestServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray in;
    HttpTestRequest req;
    qint64 remaining = -1; // body bytes still to come; -1 while in the head
    bool answered = false; // a beforeBody() script took the request early
    bool broken = false;
    QVector<HttpTestResponse::Step> todo; // steps of the scripts assigned, in order
    enum { Running, Paused, Held } state = Running;

    bool isOpen() const { return socket->state() != QAbstractSocket::UnconnectedState; }
};

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server->nextPendingConnection()) {
            auto *c = new Connection;
            c->socket = s;
            m_connections.append(c);
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(s, &QTcpSocket::readyRead, this, [this, c] { read(c); });
        }
    });
}

HttpTestServer::~HttpTestServer()
{
    delete m_server; // and the sockets with it, before the connections they report to
    qDeleteAll(m_connections);
}

void HttpTestServer::read(Connection *c)
{
    c->in += c->socket->readAll();
    HttpTestRequest &r = c->req;
    auto complete = [&](bool parsed) {
        r.connection = m_connections.indexOf(c);
        r.peer = c->socket->peerAddress().toString();
        m_requests.append(r);
        if (!c->answered && parsed)
            m_waiting.append(c);
        r = HttpTestRequest();
        c->remaining = -1;
        c->answered = false;
        dispatch();
    };
    while (!c->broken) {
        if (c->remaining >= 0) {
            const QByteArray part = c->in.left(int(c->remaining));
            c->in.remove(0, part.size());
            r.raw += part;
            r.body += part;
            c->remaining -= part.size();
            if (c->remaining > 0)
                return;
            complete(true);
            continue;
        }
        const int lf = c->in.indexOf('\n');
        if (lf < 0)
            return;
        QByteArray line = c->in.left(lf);
        r.raw += c->in.left(lf + 1);
        c->in.remove(0, lf + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> parts = line.split(' ');
        const int colon = line.indexOf(':');
        if (r.method.isEmpty() && parts.size() == 3) {
            r.method = parts[0];
            r.target = parts[1];
            r.version = parts[2];
        } else if (!r.method.isEmpty() && colon > 0) {
            r.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
        } else if (!r.method.isEmpty() && line.isEmpty() && r.header("transfer-encoding").isEmpty()) {
            c->remaining = r.header("content-length").toLongLong();
            if (!m_queue.isEmpty() && m_queue.first().early) {
                c->answered = true;
                c->todo += m_queue.takeFirst().steps;
                play(c);
            }
        } else if (!line.isEmpty() || !r.method.isEmpty()) {
            r.raw += c->in;
            c->in.clear();
            c->broken = true;
            complete(false);
        }
    }
}

void HttpTestServer::play(Connection *c)
{
    while (c->state == Connection::Running && !c->todo.isEmpty()) {
        const HttpTestResponse::Step step = c->todo.takeFirst();
        switch (step.kind) {
        case HttpTestResponse::Send:
            if (c->isOpen()) {
                c->socket->write(step.bytes);
                c->socket->flush();
            }
            break;
        case HttpTestResponse::Pause:
            c->state = Connection::Paused;
            QTimer::singleShot(step.ms, c->socket, [this, c] {
                c->state = Connection::Running;
                play(c);
            });
            break;
        case HttpTestResponse::Release:
            if (m_freeReleases > 0)
                --m_freeReleases;
            else
                c->state = Connection::Held;
            break;
        case HttpTestResponse::Close:
            c->socket->disconnectFromHost();
            c->todo.clear();
            break;
        }
    }
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
        if (c->state == Connection::Held) {
            any = true;
            c->state = Connection::Running;
            play(c);
        }
    }
    m_freeReleases += any ? 0 : 1;
}

void HttpTestServer::closeAllConnections()
{
    for (Connection *c : qAsConst(m_connections))
        c->socket->disconnectFromHost();
}

void HttpTestServer::dispatch()
{
    while (!m_waiting.isEmpty() && (!m_queue.isEmpty() || m_hasDefault)) {
        Connection *c = m_waiting.takeFirst();
        if (!c->isOpen())
            continue;
        c->todo += (m_queue.isEmpty() ? m_default : m_queue.takeFirst()).steps;
        play(c);
    }
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

bool HttpTestServer::waitForOpenConnections(int count, int timeoutMs)
{
    auto open = [](const Connection *c) { return c->isOpen(); };
    return QTest::qWaitFor(
        [&] { return std::count_if(m_connections.begin(), m_connections.end(), open) == count; }, timeoutMs);
}

static QByteArray statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK\r\n" : " Status\r\n");
}

QByteArray HttpTestServer::reply(int status, const QByteArray &body, const QList<QByteArray> &headers)
{
    QByteArray out = statusLine(status);
    bool framed = false;
    for (const QByteArray &h : headers) {
        out += h + "\r\n";
        framed |= h.toLower().startsWith("content-length:") || h.toLower().startsWith("transfer-encoding:");
    }
    if (!framed)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

QByteArray HttpTestServer::chunkedReply(int status, const QByteArray &body, int chunkSize)
{
    QByteArray out = statusLine(status) + "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < body.size(); i += qMax(1, chunkSize)) {
        const QByteArray piece = body.mid(i, qMax(1, chunkSize));
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

QByteArray HttpTestServer::pattern(qint64 size, qint64 offset)
{
    QByteArray out(int(size), Qt::Uninitialized);
    char *p = out.data();
    for (qint64 i = 0; i < size; ++i)
        p[i] = char((offset + i) % 251);
    return out;
}
