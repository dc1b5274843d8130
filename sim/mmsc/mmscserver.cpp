#include "mmscserver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QUrl>

#include "mmspdu.h"

namespace {
const QByteArray kMmsType = "application/vnd.wap.mms-message";

// Fields an m-retrieve-conf carries over from the m-send-req it delivers.
const quint8 kCarried[] = { MmsPdu::To, MmsPdu::Cc, MmsPdu::Subject, MmsPdu::MessageClass, MmsPdu::Priority,
    MmsPdu::DeliveryReport, MmsPdu::ReadReport };

QByteArray mediaTypeOf(const QByteArray &contentType)
{
    const int semi = contentType.indexOf(';');
    return (semi < 0 ? contentType : contentType.left(semi)).trimmed().toLower();
}
} // namespace

MmscServer::MmscServer(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    if (!m_options.path.startsWith('/'))
        m_options.path.prepend('/');
    while (m_options.path.size() > 1 && m_options.path.endsWith('/'))
        m_options.path.chop(1);
}

bool MmscServer::listen(QString *error)
{
    m_server = new QTcpServer(this);
    if (!m_server->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_server->errorString());
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, [this] { accept(m_server, false); });
    if (m_options.proxyPort >= 0) {
        m_proxy_server = new QTcpServer(this);
        if (!m_proxy_server->listen(m_options.address, quint16(m_options.proxyPort))) {
            *error = QStringLiteral("cannot listen on proxy port %1: %2")
                         .arg(m_options.proxyPort)
                         .arg(m_proxy_server->errorString());
            return false;
        }
        connect(m_proxy_server, &QTcpServer::newConnection, this, [this] { accept(m_proxy_server, true); });
    }
    if (!m_options.storeDir.isEmpty() && !QDir().mkpath(m_options.storeDir)) {
        *error = QStringLiteral("cannot create %1").arg(m_options.storeDir);
        return false;
    }
    return true;
}

quint16 MmscServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

int MmscServer::proxyPort() const
{
    return m_proxy_server ? m_proxy_server->serverPort() : -1;
}

void MmscServer::accept(QTcpServer *server, bool proxyPort)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        auto *session = new MmscSession(socket, m_next_session++, proxyPort, m_options.maxBody, this);
        connect(session, &MmscSession::log, this, &MmscServer::log);
        connect(session, &MmscSession::request, this, &MmscServer::handle);
        emit log(QStringLiteral("[%1] connection from %2%3")
                     .arg(session->id())
                     .arg(session->peer(), proxyPort ? QStringLiteral(" on the proxy port") : QString()));
    }
}

void MmscServer::handle(MmscSession *session, const MmscRequest &request)
{
    if (request.viaProxyPort && !request.target.startsWith("http://")
        && !request.target.startsWith("HTTP://")) {
        // A WAP proxy is addressed with the absolute URL of the origin.
        session->respond(400, "text/plain", "a proxy request needs an absolute URL\n");
        return;
    }
    if (request.method == "POST")
        handlePost(session, request);
    else if (request.method == "GET")
        handleGet(session, request);
    else
        session->respond(405, "text/plain", "only POST and GET\n");
}

void MmscServer::handlePost(MmscSession *session, const MmscRequest &request)
{
    const QString tag = QStringLiteral("[%1]").arg(session->id());
    if (request.path != m_options.path) {
        session->respond(404, "text/plain", "no MMS relay here\n");
        return;
    }
    if (mediaTypeOf(request.header("Content-Type")) != kMmsType) {
        emit log(tag + QStringLiteral(" refused: content type is not ") + QString::fromLatin1(kMmsType));
        session->respond(415, "text/plain", "expected " + kMmsType + '\n');
        return;
    }
    if (m_options.stallPost) {
        emit log(tag + QStringLiteral(" holding the answer for good (--stall post)"));
        session->hold();
        return;
    }
    if (m_options.forcedHttpStatus) {
        session->respond(m_options.forcedHttpStatus, "text/plain", "refused by --http-status\n");
        return;
    }

    MmsPdu req;
    QString error;
    const bool decoded = req.decode(request.body, &error);
    if (decoded)
        error = req.sendReqProblem();

    MmsPdu conf;
    conf.setMessageType(MmsPdu::SendConf);
    const QByteArray tid = decoded ? req.transactionId() : QByteArray();
    conf.setTransactionId(tid);
    conf.setVersion(decoded && (req.version() >> 4) == 1 ? req.version() : 0x12);

    if (!error.isEmpty()) {
        const int status = decoded && req.messageType() != MmsPdu::SendReq
            ? MmsPdu::ErrorUnsupportedMessage
            : MmsPdu::ErrorMessageFormatCorrupt;
        conf.setResponseStatus(status);
        conf.setResponseText(error);
        emit log(tag
            + QStringLiteral(" rejected %1 bytes: %2 (%3)")
                  .arg(request.body.size())
                  .arg(error, MmsPdu::statusName(status)));
        session->respond(200, kMmsType, conf.encode());
        return;
    }
    if (m_options.forcedStatus && m_options.forcedStatus != MmsPdu::Ok) {
        conf.setResponseStatus(m_options.forcedStatus);
        conf.setResponseText(QStringLiteral("refused by the simulator (--status)"));
        emit log(tag
            + QStringLiteral(" m-send-req %1 refused with %2")
                  .arg(QString::fromLatin1(tid), MmsPdu::statusName(m_options.forcedStatus)));
        session->respond(200, kMmsType, conf.encode());
        return;
    }

    const QByteArray id = QByteArray::number(m_next_message++) + '-'
        + QByteArray::number(QDateTime::currentSecsSinceEpoch(), 36);
    const QByteArray url = messageUrl(request, id);

    MmsPdu rc;
    rc.setMessageType(MmsPdu::RetrieveConf);
    rc.setVersion(req.version());
    rc.setMessageId(id);
    rc.setDate(req.date() > 0 ? req.date() : QDateTime::currentSecsSinceEpoch());
    bool insert = false;
    req.from(&insert);
    if (insert)
        rc.setFrom(m_options.sender);
    else
        rc.append(MmsPdu::From, req.raw(MmsPdu::From));
    for (const MmsPdu::HeaderField &f : req.fields) {
        for (quint8 c : kCarried) {
            if (f.code == c)
                rc.append(f.code, f.value);
        }
    }
    rc.hasContentType = true;
    rc.contentTypeRaw = req.contentTypeRaw;
    rc.body = req.body;
    const QByteArray stored = rc.encode();
    m_messages.insert(id, stored);

    if (!m_options.storeDir.isEmpty()) {
        const QString base = m_options.storeDir + QLatin1Char('/') + QString::fromLatin1(id);
        if (!save(base + QStringLiteral(".req"), request.body)
            || !save(base + QStringLiteral(".mms"), stored)) {
            m_messages.remove(id);
            conf.setResponseStatus(MmsPdu::ErrorUnspecified);
            conf.setResponseText(QStringLiteral("the MMSC could not store the message"));
            session->respond(200, kMmsType, conf.encode());
            return;
        }
    }

    conf.setResponseStatus(MmsPdu::Ok);
    conf.setMessageId(id);
    conf.setContentLocation(url);
    if (req.octetField(MmsPdu::Store) == MmsPdu::Yes)
        conf.setOctetField(MmsPdu::StoreStatus, 0x80); // Success
    QList<MmsPart> parts;
    req.parts(&parts);
    emit log(tag
        + QStringLiteral(" m-send-req %1, to %2, subject \"%3\", %4 parts, %5 bytes")
              .arg(QString::fromLatin1(tid), req.addresses(MmsPdu::To).join(QLatin1Char(',')), req.subject())
              .arg(parts.size())
              .arg(request.body.size()));
    emit log(tag
        + QStringLiteral(" stored as %1 (%2 bytes) at %3")
              .arg(QString::fromLatin1(id))
              .arg(stored.size())
              .arg(QString::fromLatin1(url)));
    session->respond(200, kMmsType, conf.encode());
}

void MmscServer::handleGet(MmscSession *session, const MmscRequest &request)
{
    const QByteArray prefix = m_options.path + '/';
    QByteArray id;
    if (request.path.startsWith(prefix))
        id = request.path.mid(prefix.size());
    const auto it = m_messages.constFind(id);
    if (id.isEmpty() || it == m_messages.constEnd()) {
        session->respond(404, "text/plain", "no such message\n");
        return;
    }
    if (m_options.stallGetAfter >= 0) {
        session->respondAndStall(kMmsType, it.value(), qMin(m_options.stallGetAfter, it.value().size()));
        return;
    }
    emit log(QStringLiteral("[%1] m-retrieve-conf %2").arg(session->id()).arg(QString::fromLatin1(id)));
    session->respond(200, kMmsType, it.value());
}

QByteArray MmscServer::messageUrl(const MmscRequest &request, const QByteArray &id) const
{
    if (!m_options.baseUrl.isEmpty()) {
        QByteArray base = m_options.baseUrl;
        if (!base.endsWith('/'))
            base += '/';
        return base + id;
    }
    QByteArray host = request.host;
    if (host.isEmpty())
        host = m_options.address.toString().toLatin1();
    if (host.contains(':') && !host.startsWith('['))
        host = '[' + host + ']';
    // Requests that came in directly name this server; the port is ours.
    QByteArray authority = host;
    if (!request.viaProxyPort && port() != 80)
        authority += ':' + QByteArray::number(port());
    else if (request.viaProxyPort) {
        const QUrl u = QUrl::fromEncoded(request.target);
        if (u.port() > 0 && u.port() != 80)
            authority += ':' + QByteArray::number(u.port());
    }
    return "http://" + authority + m_options.path + '/' + id;
}

bool MmscServer::save(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size() || !f.flush()) {
        emit log(QStringLiteral("cannot write %1: %2").arg(name, f.errorString()));
        return false;
    }
    return true;
}
