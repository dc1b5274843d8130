#include "httpsyntax.h"

#include <cstring>

namespace HttpSyntax {

bool isToken(const QByteArray &s)
{
    if (s.isEmpty())
        return false;
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::strchr("\"(),/:;<=>?@[\\]{}", c))
            return false;
    }
    return true;
}

bool hasLineBreakOrNul(const QString &s)
{
    for (QChar c : s)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            return true;
    return false;
}

bool hasLineBreakOrNul(const QByteArray &s)
{
    for (char c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            return true;
    return false;
}

bool isValidHost(const QString &host)
{
    if (host.isEmpty() || host.size() > 255)
        return false;
    for (QChar c : host) {
        const ushort u = c.unicode();
        // Non-ASCII would be mangled on the way to Latin-1; international
        // names arrive here in their ASCII form from QUrl.
        if (u <= 32 || u >= 127 || std::strchr("/?#@[]\\\"<>{}|^`", char(u)))
            return false;
    }
    return true;
}

QString hostForUrl(const QString &host)
{
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

} // namespace HttpSyntax
