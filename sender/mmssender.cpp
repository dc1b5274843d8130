#include "mmssender.h"

#include <QIODevice>
#include <QUrl>

#include "qhttp.h"
#include "qhttprequestheader.h"
#include "sockettransfer_p.h"
#include "tarnexdebug_p.h"

namespace {
const TarnexSocket::LogLines Lines = { "D: [LIBTARNEX] MMS sending progress, ",
    "D: [LIBTARNEX] MMS sending completed, error:", "response PDU size:" };
} // namespace

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
    TarnexSocket::abort(m_http, &m_transaction_id);
}

void MmsSender::httpRequestFinished(int requestId, bool error)
{
    TarnexSocket::finished(
        this, &MmsSender::mmsSendComplete, m_http, requestId, error, m_transaction_id, Lines);
}

void MmsSender::httpDataSendProgress(int done, int total)
{
    TarnexSocket::progress(this, &MmsSender::sendProgress, Lines, done, total);
}

void MmsSender::httpConnectionState(int state)
{
    TarnexSocket::stateChanged(this, &MmsSender::connectionStateChanged, state);
}
