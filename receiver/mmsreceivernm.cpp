#include "mmsreceivernm.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "nmtransfer_p.h"
#include "tarnexconfig_p.h"
#include "tarnexdebug_p.h"

MmsReceiverNM::MmsReceiverNM()
    : m_manager(TarnexNm::newManager(this))
    , m_reply(nullptr)
{
    // The manager holds the whole answer in memory: bounded unless the caller says otherwise.
    setMaxResponseSize(TARNEX_NM_MAX_ANSWER_BYTES);
    connect(
        m_manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(networkManagerFinished(QNetworkReply *)));
}

MmsReceiverNM::~MmsReceiverNM() = default;

void MmsReceiverNM::downloadMms(const QString &url, QIODevice *device)
{
    m_device = device;
    QUrl target = QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode);

    // An empty proxy means a direct connection, whatever an earlier download used.
    TarnexNm::useRelay(this, m_manager, target, proxy(), proxyPort());

    if (target.path().isEmpty())
        target.setPath(QStringLiteral("/"));

    QNetworkRequest request(target);
    TarnexNm::setIdentity(request);
    const quint64 tag = TarnexNm::prepareRequest(this, request);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP GET to:" << target.host() << ":" << target.port(80)
                 << QString::fromLatin1(
                        target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment))
                 << "via proxy" << proxy() << ":" << proxyPort();

    m_reply = m_manager->get(request);
    TarnexNm::watch(this, m_reply, tag);
    connect(m_reply, SIGNAL(downloadProgress(qint64, qint64)), this,
        SLOT(httpDataReceiveProgress(qint64, qint64)));
}

void MmsReceiverNM::abort()
{
    if (m_reply)
        m_reply->abort();
}

void MmsReceiverNM::httpDataReceiveProgress(qint64 done, qint64 total)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] MMS download progress, " << done << " of " << total;
    TarnexNm::ManagerHold hold(this, m_manager);
    emit downloadProgress(int(done), int(total));
}

void MmsReceiverNM::networkManagerFinished(QNetworkReply *reply)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP transaction finished";
    // Every reply is released once it has ended, so a long-lived receiver
    // does not collect one object per download; and it reports nothing more
    // (the manager still sends progress after the end).
    reply->disconnect(this);
    reply->deleteLater();
    if (reply != m_reply)
        return;
    m_reply = nullptr;

    const QNetworkReply::NetworkError error = reply->error();
    TARNEX_DEBUG << "D: [LIBTARNEX] MMS download completed, error:" << int(error)
                 << "response PDU size:" << reply->size();

    const int fault = TarnexNm::faultCode(reply);
    int code = fault ? fault : int(error);
    if (code == QNetworkReply::NoError)
        code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    // An aborted reply is closed and has nothing to hand on.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    if (m_device && !body.isEmpty() && !TarnexNm::store(m_device, body)) {
        qWarning() << "[LIBTARNEX] Could not store the downloaded PDU:" << m_device->errorString();
        // The caller did not get the message, so this is no success.
        if (!fault && error == QNetworkReply::NoError)
            code = QNetworkReply::UnknownContentError;
    }
    TarnexNm::ManagerHold hold(this, m_manager);
    emit downloadCompleted(code);
}
