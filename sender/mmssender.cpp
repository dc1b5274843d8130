#include "mmssender.h"

#include <QUrl>

#include "mmsuaprof.h"
#include "qhttp.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"
#include "tarnexdebug_p.h"

namespace {

const char *const s_stateNames[]
    = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };

const char *stateName(int state)
{
    return uint(state) <= 6 ? s_stateNames[state] : "Unknown";
}

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

    QUrl url = QUrl::fromEncoded(mmsc().toLatin1(), QUrl::TolerantMode);

    // An empty proxy means a direct connection: a proxy that an earlier send
    // set must not carry this message somewhere the caller no longer wants.
    if (!proxy().isEmpty()) {
        m_http->setProxy(proxy(), proxyPort(), QString(), QString());
        m_proxy_set = true;
    } else if (m_proxy_set) {
        m_http->setProxy(QString(), 0, QString(), QString());
        m_proxy_set = false;
    }

    // Always plain HTTP, to "mmscPort" (0: port 80); the URL's own port is not used.
    m_http->setHost(url.host(), QHttp::ConnectionModeHttp, quint16(mmscPort()));

    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    // A fragment is never part of a request line.
    const QByteArray target
        = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);

    QHttpRequestHeader header(QStringLiteral("POST"), QString::fromLatin1(target), 1, 1);
    header.setContentType(QStringLiteral("application/vnd.wap.mms-message"));
    const QString userAgent = MmsUAProf::getUserAgent();
    if (!userAgent.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] User-Agent: " << userAgent;
        header.addValue(QStringLiteral("User-Agent"), userAgent);
    }
    const QString profileUrl = MmsUAProf::getProfileUrl();
    if (!profileUrl.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] Profile URL: " << profileUrl;
        header.addValue(QStringLiteral("x-wap-profile"), profileUrl);
    }
    // An IPv6 literal needs its brackets in a Host field, or its colons
    // would read as a port.
    const QString host = url.host();
    header.setValue(QStringLiteral("Host"), host.contains(QLatin1Char(':')) ? '[' + host + ']' : host);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP POST to:" << url.host() << ":" << mmscPort() << target
                 << " via proxy " << proxy() << ":" << proxyPort();

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
    TARNEX_DEBUG << "D: [HTTP] Connection state" << stateName(state) << "(" << state << ")";
    emit connectionStateChanged(state);
}
