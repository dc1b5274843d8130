#ifndef SOCKETTRANSFER_P_H
#define SOCKETTRANSFER_P_H

#include <QByteArray>
#include <QString>

class QHttp;
class QHttpRequestHeader;
class QObject;
class QUrl;

// What MmsSender and MmsReceiver do alike on the socket client.
namespace TarnexSocket {

// Name of a QHttp::State for the debug log ("Unknown" for anything else).
const char *stateName(int state);

// An empty proxy means a direct connection: a proxy that an earlier transfer
// set must not carry this one somewhere the caller no longer wants.
// `proxySet` remembers whether the client has one.
void applyProxy(QHttp *http, const QString &proxy, int proxyPort, bool *proxySet);

// The request for `url`: its path ("/" when empty) and query as the target,
// never the fragment; the content type when given; the fields the settings
// file asks for (RequestProfile); and the URL's host as Host (an IPv6 literal bracketed,
// or its colons would read as a port). `target` receives the request target.
QHttpRequestHeader requestHeader(
    const QString &method, const QUrl &url, const QString &contentType, QString *target);

// Gives the client the limits, interface and DNS servers `transfer` holds
// now, for the request queued next.
void applyOptions(QHttp *http, const QObject *transfer);

} // namespace TarnexSocket

#endif // SOCKETTRANSFER_P_H
