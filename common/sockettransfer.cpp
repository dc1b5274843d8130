#include "sockettransfer_p.h"

#include <QIODevice>
#include <QUrl>

#include "httpsyntax.h"
#include "qhttp.h"
#include "qhttprequestheader.h"
#include "requestprofile_p.h"
#include "transferoptions_p.h"

namespace TarnexSocket {

void applyProxy(QHttp *http, const QString &proxy, int proxyPort, bool *proxySet)
{
    if (!proxy.isEmpty()) {
        http->setProxy(proxy, proxyPort, QString(), QString());
        *proxySet = true;
    } else if (*proxySet) {
        http->setProxy(QString(), 0, QString(), QString());
        *proxySet = false;
    }
}

QHttpRequestHeader requestHeader(
    const QString &method, const QUrl &url, const QString &contentType, QString *target)
{
    QUrl u = url;
    if (u.path().isEmpty())
        u.setPath(QStringLiteral("/"));
    *target
        = QString::fromLatin1(u.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment));

    QHttpRequestHeader header(method, *target, 1, 1);
    if (!contentType.isEmpty())
        header.setContentType(contentType);
    const RequestProfile profile = RequestProfile::current();
    profile.debugIdentity();
    // A "Connection: close" among them also keeps the client from reusing
    // the connection after the answer.
    for (const auto &field : profile.fields)
        header.addValue(QString::fromLatin1(field.first), field.second);
    header.setValue(QStringLiteral("Host"), HttpSyntax::hostForUrl(url.host()));
    return header;
}

void applyOptions(QHttp *http, const QObject *transfer)
{
    const TransferOptions *options = TransferOptions::of(transfer);
    http->setTransferTimeout(options->transferTimeout);
    http->setMaxResponseSize(options->maxResponseSize);
    http->setNetworkInterface(options->networkInterface);
    http->setDnsServers(options->dnsServers, options->dnsTimeout);
}

void abort(QHttp *http, int *transactionId)
{
    *transactionId = -1;
    http->abort();
}

bool outcome(
    const QHttp *http, int requestId, bool error, int transactionId, const LogLines &lines, int *code)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] HTTP transaction finished, transaction ID:" << requestId
                 << "error=" << error;
    if (requestId != transactionId)
        return false;
    *code = error ? int(http->error()) : http->lastResponse().statusCode();
    const QIODevice *device = http->currentDestinationDevice();
    TARNEX_DEBUG << lines.completed << *code << lines.size << (device ? device->size() : qint64(0));
    return true;
}

const char *stateName(int state)
{
    static const char *const names[]
        = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };
    return uint(state) <= 6 ? names[state] : "Unknown";
}

} // namespace TarnexSocket
