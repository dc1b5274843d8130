#include "mmsreceiver.h"

#include <QIODevice>
#include <QUrl>

#include "qhttp.h"
#include "qhttprequestheader.h"
#include "sockettransfer_p.h"
#include "tarnexdebug_p.h"

namespace {
const TarnexSocket::LogLines Lines = { "D: [LIBTARNEX] MMS download progress, ",
    "D: [LIBTARNEX] MMS download completed, error:", ", downloaded PDU size:" };
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
    const QUrl target = QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode);
    TarnexSocket::applyProxy(m_http, proxy(), proxyPort(), &m_proxy_set);
    // Always plain HTTP, whatever the scheme says, on the URL's port or 80.
    const int port = target.port(80);
    m_http->setHost(target.host(), QHttp::ConnectionModeHttp, quint16(port));

    QString uri;
    const QHttpRequestHeader header
        = TarnexSocket::requestHeader(QStringLiteral("GET"), target, QString(), &uri);

    TARNEX_DEBUG << "D: [LIBTARNEX] Sending HTTP GET to:" << target.host() << ":" << port << uri
                 << "via proxy" << proxy() << ":" << proxyPort();

    TarnexSocket::applyOptions(m_http, this);
    m_transaction_id = m_http->request(header, nullptr, device);
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP GET is sent, transaction ID:" << m_transaction_id;
}

void MmsReceiver::abort()
{
    TarnexSocket::abort(m_http, &m_transaction_id);
}

void MmsReceiver::httpRequestFinished(int requestId, bool error)
{
    TarnexSocket::finished(
        this, &MmsReceiver::downloadCompleted, m_http, requestId, error, m_transaction_id, Lines);
}

void MmsReceiver::httpDataReceiveProgress(int done, int total)
{
    TarnexSocket::progress(this, &MmsReceiver::downloadProgress, Lines, done, total);
}

void MmsReceiver::httpConnectionState(int state)
{
    TarnexSocket::stateChanged(this, &MmsReceiver::connectionStateChanged, state);
}
