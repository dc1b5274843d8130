#include "mmssender.h"

#include <QIODevice>
#include <QUrl>

#include "qhttp.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"
#include "sockettransfer_p.h"
#include "tarnexdebug_p.h"

MmsSender::MmsSender()
    : m_http(new QHttp(this))
{
    connect(m_http, SIGNAL(requestFinished(int, bool)), this, SLOT(httpRequestFinished(int, bool)));
    connect(m_http, SIGNAL(dataSendProgress(int, int)), this, SLOT(httpDataSendProgress(int, int)));
    connect(m_http, SIGNAL(stateChanged(int)), this, SLOT(httpConnectionState(int)));
}

MmsSender::~MmsSender() = default;

void MmsSender::startMmsSend(QIODevice *pdu, QIODevice *response)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] Start MMS sending, PDU size:" << (pdu ? pdu->size() : qint64(0));

    const QUrl url = QUrl::fromEncoded(mmsc().toLatin1(), QUrl::TolerantMode);
    TarnexSocket::applyProxy(m_http, proxy(), proxyPort(), &m_proxy_set);
    // Always plain HTTP, to "mmscPort" (0: port 80); the URL's own port is not used.
    m_http->setHost(url.host(), QHttp::ConnectionModeHttp, quint16(mmscPort()));

    QString target;
    const QHttpRequestHeader header = TarnexSocket::requestHeader(
        QStringLiteral("POST"), url, QStringLiteral("application/vnd.wap.mms-message"), &target);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP POST to:" << url.host() << ":" << mmscPort() << target
                 << " via proxy " << proxy() << ":" << proxyPort();

    TarnexSocket::applyOptions(m_http, this);
    m_transaction_id = m_http->request(header, pdu, response);
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP POST is sent, transaction ID:" << m_transaction_id;
}

void MmsSender::abort()
{
    if (!m_http)
        return;
    // Forget the POST first: the client reports it as finished with an error,
    // and an abandoned send is not reported.
    m_transaction_id = -1;
    m_http->abort();
}

void MmsSender::httpRequestFinished(int requestId, bool error)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP transaction finished, transaction ID:" << requestId
                 << "error=" << error;
    if (requestId != m_transaction_id)
        return;

    const int code = error ? int(m_http->error()) : m_http->lastResponse().statusCode();
    if (MMSLogger::qdebugEnabled) {
        const QIODevice *response = m_http->currentDestinationDevice();
        TARNEX_DEBUG << "D: [LIBTARNEX] MMS sending completed, error:" << code
                     << "response PDU size:" << (response ? response->size() : qint64(0));
    }
    emit mmsSendComplete(code);
}

void MmsSender::httpDataSendProgress(int done, int total)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] MMS sending progress, " << done << " of " << total;
    emit sendProgress(done, total);
}

void MmsSender::httpConnectionState(int state)
{
    TARNEX_DEBUG << "D: [HTTP] Connection state" << TarnexSocket::stateName(state) << "(" << state << ")";
    emit connectionStateChanged(state);
}
