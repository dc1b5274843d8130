#include "mmsreceiver.h"

#include <QIODevice>
#include <QUrl>

#include "qhttp.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"
#include "sockettransfer_p.h"
#include "tarnexdebug_p.h"

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
    const QUrl target = QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode);
    TarnexSocket::applyProxy(m_http, proxy(), proxyPort(), &m_proxy_set);
    // Always plain HTTP, whatever the scheme says, on the URL's port or 80.
    const int port = target.port(80);
    m_http->setHost(target.host(), QHttp::ConnectionModeHttp, quint16(port));

    QString uri;
    const QHttpRequestHeader header = TarnexSocket::requestHeader(QStringLiteral("GET"), target, QString(), &uri);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP GET to:" << target.host() << ":" << port << uri
                 << "via proxy" << proxy() << ":" << proxyPort();

    TarnexSocket::applyOptions(m_http, this);
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
    TARNEX_DEBUG << "D: [HTTP] Connection state" << TarnexSocket::stateName(state) << "(" << state << ")";
    emit connectionStateChanged(state);
}
