#include "sockettransfer_p.h"

#include <QUrl>

#include "httpsyntax.h"
#include "qhttp.h"
#include "qhttprequestheader.h"
#include "requestprofile_p.h"
#include "tarnexdebug_p.h"
#include "transferoptions_p.h"

namespace TarnexSocket {

const char *stateName(int state)
{
    static const char *const names[]
        = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };
    return uint(state) <= 6 ? names[state] : "Unknown";
}

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
    *target = QString::fromLatin1(u.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment));

    QHttpRequestHeader header(method, *target, 1, 1);
    if (!contentType.isEmpty())
        header.setContentType(contentType);
    const RequestProfile profile = RequestProfile::current();
    if (!profile.userAgent.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] User-Agent: " << profile.userAgent;
    }
    if (!profile.profileUrl.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] Profile URL: " << profile.profileUrl;
    }
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

} // namespace TarnexSocket
