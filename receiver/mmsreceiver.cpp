#include "mmsreceiver.h"

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

MmsReceiver::MmsReceiver()
    : m_http(new QHttp(this))
{
    connect(m_http, SIGNAL(requestFinished(int, bool)), this, SLOT(httpRequestFinished(int, bool)));
    connect(m_http, SIGNAL(dataReadProgress(int, int)), this, SLOT(httpDataReceiveProgress(int, int)));
    connect(m_http, SIGNAL(stateChanged(int)), this, SLOT(httpConnectionState(int)));
}

MmsReceiver::~MmsReceiver() = default;

void MmsReceiver::downloadMms(const QString &url, QIODevice *device)
{
    QUrl target = QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode);

    // An empty proxy means a direct connection, whatever an earlier download used.
    if (!proxy().isEmpty()) {
        m_http->setProxy(proxy(), proxyPort(), QString(), QString());
        m_proxy_set = true;
    } else if (m_proxy_set) {
        m_http->setProxy(QString(), 0, QString(), QString());
        m_proxy_set = false;
    }

    // Always plain HTTP, whatever the scheme says, on the URL's port or 80.
    const int port = target.port(80);
    m_http->setHost(target.host(), QHttp::ConnectionModeHttp, quint16(port));

    if (target.path().isEmpty())
        target.setPath(QStringLiteral("/"));
    // A fragment is never part of a request line.
    const QString uri = QString::fromLatin1(
        target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment));

    QHttpRequestHeader header(QStringLiteral("GET"), uri, 1, 1);
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
    const QString host = target.host();
    header.setValue(QStringLiteral("Host"), host.contains(QLatin1Char(':')) ? '[' + host + ']' : host);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP GET to:" << target.host() << ":" << port << uri
                 << "via proxy" << proxy() << ":" << proxyPort();

    m_transaction_id = m_http->request(header, nullptr, device);
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP GET is sent, transaction ID:" << m_transaction_id;
}

void MmsReceiver::abort()
{
    if (!m_http)
        return;
    // Forget the GET first: the client reports it as finished with an error,
    // and an abandoned download is not reported.
    m_transaction_id = -1;
    m_http->abort();
}

void MmsReceiver::httpRequestFinished(int requestId, bool error)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP transaction finished, transaction ID:" << requestId
                 << "error=" << error;
    if (requestId != m_transaction_id)
        return;

    const int code = error ? int(m_http->error()) : m_http->lastResponse().statusCode();
    if (MMSLogger::qdebugEnabled) {
        const QIODevice *device = m_http->currentDestinationDevice();
        TARNEX_DEBUG << "D: [LIBTARNEX] MMS download completed, error:" << code
                     << ", downloaded PDU size:" << (device ? device->size() : qint64(0));
    }
    emit downloadCompleted(code);
}

void MmsReceiver::httpDataReceiveProgress(int done, int total)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] MMS download progress, " << done << " of " << total;
    emit downloadProgress(done, total);
}

void MmsReceiver::httpConnectionState(int state)
{
    TARNEX_DEBUG << "D: [HTTP] Connection state" << stateName(state) << "(" << state << ")";
    emit connectionStateChanged(state);
}
