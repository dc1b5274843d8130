#include "httprequestwriter.h"

#include <QDebug>

#include "httpsyntax.h"

bool HttpRequestWriter::head(
    const QHttpRequestHeader &h, const Route &route, bool hasBody, qint64 bodyLength, QByteArray *head)
{
    const QByteArray method = h.method().toLatin1();
    if (!h.isValid() || !HttpSyntax::isToken(method))
        return false;
    // The host is written into the Host field and, through a proxy, the
    // request line: a line break there would forge fields or requests.
    if (!HttpSyntax::isValidHost(route.host))
        return false;
    QByteArray target;
    for (char c : h.path().toUtf8()) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u == 127)
            return false; // it would split the request line
        if (u >= 128)
            target += '%' + QByteArray::number(u, 16).toUpper();
        else
            target += c;
    }
    if (target.isEmpty())
        target = "/";
    const bool viaProxy = !route.proxyHost.isEmpty();
    const QByteArray authority = HttpSyntax::hostForUrl(route.host).toLatin1()
        + (route.port != 80 ? ':' + QByteArray::number(route.port) : QByteArray());
    if (viaProxy && target.startsWith('/'))
        target = "http://" + authority + target;

    QByteArray out;
    out.reserve(512);
    out += method + ' ' + target + " HTTP/" + QByteArray::number(h.majorVersion()) + '.'
        + QByteArray::number(h.minorVersion()) + "\r\n";
    for (const auto &field : h.values()) {
        const QByteArray key = field.first.toLatin1();
        if (key.compare("content-length", Qt::CaseInsensitive) == 0
            || key.compare("transfer-encoding", Qt::CaseInsensitive) == 0)
            continue; // the body's own length goes out below
        if (!HttpSyntax::isToken(key) || HttpSyntax::hasLineBreakOrNul(field.second)) {
            // A line break would let the value forge fields or requests.
            qWarning() << "QHttp: header field dropped, invalid name or line break in value:" << key;
            continue;
        }
        out += key + ": " + field.second.toLatin1() + "\r\n";
    }
    if (!h.hasKey(QStringLiteral("host")))
        out += "Host: " + authority + "\r\n";
    if (viaProxy && !route.proxyUser.isEmpty())
        out += "Proxy-Authorization: Basic "
            + (route.proxyUser + QLatin1Char(':') + route.proxyPassword).toUtf8().toBase64() + "\r\n";
    if (hasBody || method == "POST" || method == "PUT" || method == "PATCH")
        out += "Content-Length: " + QByteArray::number(bodyLength) + "\r\n";
    out += "\r\n";
    *head = out;
    return true;
}
