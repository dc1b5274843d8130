#include "mmscsession.h"

#include <QHostAddress>
#include <QUrl>

namespace {
const int kMaxHead = 64 * 1024;
const int kMaxFields = 100;

QByteArray reason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}
} // namespace

QByteArray MmscRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (qstricmp(h.first.constData(), name.constData()) == 0)
            return h.second;
    }
    return QByteArray();
}

MmscSession::MmscSession(QTcpSocket *socket, int id, bool proxyPort, qint64 maxBody, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_id(id)
    , m_proxy_port(proxyPort)
    , m_max_body(maxBody)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &MmscSession::readMore);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
}

QString MmscSession::peer() const
{
    if (!m_socket)
        return QString();
    return QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
}

void MmscSession::readMore()
{
    if (!m_socket || m_held)
        return;
    m_buffer += m_socket->readAll();
    while (!m_held) {
        if (m_body_left < 0) {
            int headEnd = m_buffer.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                if (m_buffer.size() > kMaxHead)
                    fail(431, "request head over 64 KiB");
                return;
            }
            if (headEnd > kMaxHead) {
                fail(431, "request head over 64 KiB");
                return;
            }
            if (!parseHead(headEnd))
                return;
        }
        if (m_buffer.size() < m_body_left)
            return;
        m_current.body = m_buffer.left(int(m_body_left));
        m_buffer.remove(0, int(m_body_left));
        m_body_left = -1;
        MmscRequest done = m_current;
        m_current = MmscRequest();
        emit request(this, done);
        if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
}

bool MmscSession::parseHead(int headEnd)
{
    const QByteArray head = m_buffer.left(headEnd);
    m_buffer.remove(0, headEnd + 4);
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        fail(400, "malformed request line");
        return false;
    }
    if (lines.size() - 1 > kMaxFields) {
        fail(431, "more than 100 header fields");
        return false;
    }
    m_current = MmscRequest();
    m_current.method = requestLine.at(0);
    m_current.target = requestLine.at(1);
    m_current.version = requestLine.at(2);
    m_current.viaProxyPort = m_proxy_port;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0) {
            fail(400, "malformed header field");
            return false;
        }
        m_current.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
    }

    emit log(QStringLiteral("[%1] %2").arg(m_id).arg(QString::fromLatin1(lines.value(0).trimmed())));
    for (const auto &h : m_current.headers)
        emit log(QStringLiteral("[%1]   %2: %3")
                     .arg(m_id)
                     .arg(QString::fromLatin1(h.first), QString::fromLatin1(h.second)));

    if (m_current.target.startsWith("http://") || m_current.target.startsWith("HTTP://")) {
        // Absolute form, as a proxy receives it.
        const QUrl url = QUrl::fromEncoded(m_current.target, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()) {
            fail(400, "malformed absolute-form target");
            return false;
        }
        m_current.host = url.host().toLatin1();
        m_current.path = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
        if (m_current.path.isEmpty())
            m_current.path = "/";
    } else if (m_current.target.startsWith('/')) {
        m_current.path = m_current.target;
        QByteArray host = m_current.header("Host");
        const int colon = host.lastIndexOf(':');
        if (colon > 0 && !host.endsWith(']'))
            host.truncate(colon);
        m_current.host = host;
    } else {
        fail(400, "request target is neither origin nor absolute form");
        return false;
    }

    if (m_current.version == "HTTP/1.0" || qstricmp(m_current.header("Connection").constData(), "close") == 0)
        m_close_after = true;

    const QByteArray te = m_current.header("Transfer-Encoding");
    const QByteArray cl = m_current.header("Content-Length");
    if (!te.isEmpty()) {
        fail(411, "chunked request bodies are not accepted");
        return false;
    }
    if (cl.isEmpty()) {
        if (m_current.method == "POST") {
            fail(411, "POST without Content-Length");
            return false;
        }
        m_body_left = 0;
    } else {
        bool ok = false;
        const qint64 len = cl.toLongLong(&ok);
        if (!ok || len < 0 || cl.startsWith('+') || cl.startsWith('-')) {
            fail(400, "malformed Content-Length");
            return false;
        }
        if (len > m_max_body) {
            fail(413, "request body over the size limit");
            return false;
        }
        m_body_left = len;
    }
    if (qstricmp(m_current.header("Expect").constData(), "100-continue") == 0 && m_body_left > 0)
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    return true;
}

void MmscSession::fail(int status, const char *why)
{
    emit log(QStringLiteral("[%1] refused: %2").arg(m_id).arg(QLatin1String(why)));
    respond(status, "text/plain", QByteArray(why) + '\n', true);
}

void MmscSession::respond(int status, const QByteArray &contentType, const QByteArray &body, bool close)
{
    if (!m_socket)
        return;
    close = close || m_close_after;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    head += "Server: tarnex-mmsc-sim\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";
    emit log(QStringLiteral("[%1] -> %2 %3, %4 bytes%5")
                 .arg(m_id)
                 .arg(status)
                 .arg(QString::fromLatin1(reason(status)))
                 .arg(body.size())
                 .arg(close ? QStringLiteral(", closing") : QString()));
    m_socket->write(head + body);
    if (close) {
        m_held = true; // nothing more is read on a connection being closed
        m_socket->disconnectFromHost();
    }
}

void MmscSession::respondAndStall(const QByteArray &contentType, const QByteArray &body, int sent)
{
    if (!m_socket)
        return;
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    emit log(
        QStringLiteral("[%1] -> 200 OK, stalling after %2 of %3 bytes").arg(m_id).arg(sent).arg(body.size()));
    m_socket->write(head + body.left(sent));
    m_held = true;
}
