#include "mmssendernm.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "nmtransfer_p.h"
#include "tarnexconfig_p.h"
#include "tarnexdebug_p.h"

namespace {
const char s_uploaded[] = "_tarnex_uploaded";
}

MmsSenderNM::MmsSenderNM()
    : m_manager(TarnexNm::newManager(this))
    , m_reply(nullptr)
{
    // The manager holds the whole answer in memory: bounded unless the caller says otherwise.
    setMaxResponseSize(TARNEX_NM_MAX_ANSWER_BYTES);
    connect(
        m_manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(networkManagerFinished(QNetworkReply *)));
}

MmsSenderNM::~MmsSenderNM() = default;

void MmsSenderNM::startMmsSend(QIODevice *pdu, QIODevice *response)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] Start MMS sending, PDU size:" << (pdu ? pdu->size() : qint64(0))
                 << response;

    QUrl url = QUrl::fromEncoded(mmsc().toLatin1(), QUrl::TolerantMode);
    m_response = response;

    // An empty proxy means a direct connection: a proxy that an earlier send
    // set must not carry this message somewhere the caller no longer wants.
    if (!proxy().isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] Setting proxy " << proxy() << ":" << proxyPort();
    }
    TarnexNm::useRelay(this, m_manager, url, proxy(), proxyPort());

    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    if (mmscPort() != 0)
        url.setPort(mmscPort());

    QNetworkRequest request(url);
    TarnexNm::setIdentity(request);
    request.setRawHeader("Content-type", "application/vnd.wap.mms-message");
    const quint64 tag = TarnexNm::prepareRequest(this, request);

    TARNEX_DEBUG << "D: [LIBTARNEX] url is " << url.toString();
    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP POST to:" << url.host() << ":" << mmscPort()
                 << url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)
                 << " via proxy " << proxy() << ":" << proxyPort();

    m_reply = m_manager->post(request, pdu);
    TarnexNm::watch(this, m_reply, tag);
    connect(
        m_reply, SIGNAL(uploadProgress(qint64, qint64)), this, SLOT(httpDataSendProgress(qint64, qint64)));
    TARNEX_DEBUG << "D: [LIBTARNEX] Waiting for initial reply";
    // Returns at once for network replies; the end always comes through finished().
    m_reply->waitForReadyRead(-1);
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP POST is sent ";
}

void MmsSenderNM::abort()
{
    if (m_reply)
        m_reply->abort();
}

void MmsSenderNM::httpDataSendProgress(qint64 done, qint64 total)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] MMS sending progress, " << done << " of " << total;
    // Once the whole body is out the manager reports (0, 0) again; passed on
    // as (0, 1) it would end a complete upload on nothing sent.
    QObject *reply = sender();
    if (reply && total > 0 && done == total)
        reply->setProperty(s_uploaded, true);
    else if (reply && total == 0 && reply->property(s_uploaded).toBool())
        return;
    TarnexNm::ManagerHold hold(this, m_manager);
    if (total == 0)
        emit sendProgress(0, 1);
    else
        emit sendProgress(int(done), int(total));
}

void MmsSenderNM::networkManagerFinished(QNetworkReply *reply)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP transaction finished " << reply;
    // Every reply is released once it has ended, reported or not, so a
    // long-lived sender does not collect one object per message; and it
    // reports nothing more (the manager still sends progress after the end).
    reply->disconnect(this);
    reply->deleteLater();
    if (reply != m_reply)
        return;
    m_reply = nullptr;

    const QNetworkReply::NetworkError error = reply->error();
    const int fault = TarnexNm::faultCode(reply);
    int code = fault ? fault : int(error);
    if (code == QNetworkReply::NoError) {
        code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const qint64 size = reply->bytesAvailable();
        if (!m_response || size == 0) {
            qWarning() << "[LIBTARNEX] MMS sending completed. Ignore response";
        } else {
            TARNEX_DEBUG << "D: [LIBTARNEX] MMS sending completed, response PDU size:" << size;
            // The MMSC's answer that the caller never got is not a success.
            if (!TarnexNm::store(m_response, reply->readAll())) {
                qWarning() << "[LIBTARNEX] Could not store the MMSC's response:" << m_response->errorString();
                code = QNetworkReply::UnknownContentError;
            }
        }
    } else {
        TARNEX_DEBUG << "D: [LIBTARNEX] MMS sending error: " << code;
    }
    TarnexNm::ManagerHold hold(this, m_manager);
    emit mmsSendComplete(code);
}
