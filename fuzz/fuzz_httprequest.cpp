// Arbitrary MMSC/download URLs, identity values, proxy credentials and one
// extra field through the request building of the socket transfers.
//
// Input: fields each prefixed by one length byte: flags, URL, User-Agent,
// x-wap-profile, proxy host, proxy user, proxy password, extra field name,
// extra field value, server host name (missing fields are empty; an empty
// host name means the URL's host, as the transfers pass it). Flags: bit 0 POST (else GET),
// bit 1 URL given as text (else as encoded bytes), bit 2 a body device, bits
// 3-4 the port (80, URL's own, 8080, 0).
//
// Whatever the values, what would go on the wire is one request: a request
// line of three words, fields of the expected names, each on a line of its
// own, one blank line at the end, no NUL and no lone CR or LF.

#include "httprequestwriter.h"
#include "httpsyntax.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QSet>
#include <QUrl>

#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &head)
{
    std::fprintf(stderr, "invariant broken: %s\n--- head ---\n%s\n", what, head.toHex(' ').constData());
    std::abort();
}

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            fail(#cond, head);                                                                               \
    } while (0)

QByteArray take(const uint8_t *&p, const uint8_t *end)
{
    if (p >= end)
        return QByteArray();
    size_t n = *p++;
    n = qMin<size_t>(n, size_t(end - p));
    QByteArray out(reinterpret_cast<const char *>(p), int(n));
    p += n;
    return out;
}

} // namespace

// Warnings about refused values are expected by the thousand; writing them
// would only slow the run down.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const uint8_t *p = bytes;
    const uint8_t *end = bytes + size;
    const QByteArray flagsField = take(p, end);
    const int flags = flagsField.isEmpty() ? 0 : uchar(flagsField.at(0));
    const QByteArray urlBytes = take(p, end);
    const QString userAgent = QString::fromUtf8(take(p, end));
    const QString profileUrl = QString::fromUtf8(take(p, end));
    HttpRequestWriter::Route route;
    route.proxyHost = QString::fromUtf8(take(p, end));
    route.proxyUser = QString::fromUtf8(take(p, end));
    route.proxyPassword = QString::fromUtf8(take(p, end));
    const QString extraName = QString::fromUtf8(take(p, end));
    const QString extraValue = QString::fromUtf8(take(p, end));
    const QString rawHost = QString::fromUtf8(take(p, end));

    const bool post = flags & 1;
    const bool hasBody = flags & 4;

    // As the senders and receivers do: tolerant parsing, no validity check,
    // "/" for an empty path, path and query as the target.
    QUrl url = (flags & 2) ? QUrl(QString::fromUtf8(urlBytes), QUrl::TolerantMode)
                           : QUrl::fromEncoded(urlBytes, QUrl::TolerantMode);
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    const QByteArray target
        = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    static const quint16 ports[] = { 80, 0, 8080, 0 };
    route.host = rawHost.isEmpty() ? url.host() : rawHost;
    route.port = ports[(flags >> 3) & 3];
    if (((flags >> 3) & 3) == 1)
        route.port = quint16(url.port(80));
    if (route.port == 0)
        route.port = 80;

    QHttpRequestHeader header(QLatin1String(post ? "POST" : "GET"), QString::fromLatin1(target), 1, 1);
    if (post)
        header.setContentType(QStringLiteral("application/vnd.wap.mms-message"));
    if (!userAgent.isEmpty())
        header.addValue(QStringLiteral("User-Agent"), userAgent);
    if (!profileUrl.isEmpty())
        header.addValue(QStringLiteral("x-wap-profile"), profileUrl);
    if (!extraName.isEmpty())
        header.addValue(extraName, extraValue);
    header.setValue(QStringLiteral("Host"), url.host());

    const qint64 bodyLength = hasBody ? qint64(size) : 0;
    QByteArray head;
    if (!HttpRequestWriter::head(header, route, hasBody, bodyLength, &head))
        return 0;

    CHECK(head.endsWith("\r\n\r\n"));
    CHECK(head.indexOf("\r\n\r\n") == head.size() - 4);
    CHECK(!head.contains('\0'));
    for (int i = 0; i < head.size(); ++i) {
        if (head.at(i) == '\r')
            CHECK(i + 1 < head.size() && head.at(i + 1) == '\n');
        if (head.at(i) == '\n')
            CHECK(i > 0 && head.at(i - 1) == '\r');
    }

    QByteArrayList lines = head.left(head.size() - 4).split('\n');
    for (QByteArray &line : lines) {
        CHECK(line.endsWith('\r') || &line == &lines.last());
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArrayList requestLine = lines.takeFirst().split(' ');
    CHECK(requestLine.size() == 3);
    CHECK(requestLine.at(0) == (post ? "POST" : "GET"));
    CHECK(requestLine.at(2) == "HTTP/1.1");
    const QByteArray &wireTarget = requestLine.at(1);
    CHECK(!wireTarget.isEmpty());
    for (char c : wireTarget)
        CHECK(uchar(c) > 32 && uchar(c) < 127);
    const bool viaProxy = !route.proxyHost.isEmpty();
    CHECK(viaProxy ? wireTarget.startsWith("http://") || !wireTarget.startsWith('/')
                   : wireTarget.startsWith('/') || wireTarget == target);

    QSet<QByteArray> allowed = { "content-type", "user-agent", "x-wap-profile", "host", "content-length" };
    if (viaProxy && !route.proxyUser.isEmpty())
        allowed << "proxy-authorization";
    if (!extraName.isEmpty())
        allowed << extraName.toLatin1().toLower();
    QSet<QByteArray> seen;
    bool sawHost = false, sawLength = false;
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        CHECK(colon > 0);
        const QByteArray name = line.left(colon);
        CHECK(HttpSyntax::isToken(name));
        CHECK(allowed.contains(name.toLower()));
        CHECK(line.size() == colon + 1 || line.at(colon + 1) == ' ');
        const QByteArray value = line.mid(colon + 2);
        if (name.toLower() == "host") {
            CHECK(!sawHost);
            sawHost = true;
            for (char c : value)
                CHECK(uchar(c) > 32 && uchar(c) < 127);
        } else if (name.toLower() == "content-length") {
            CHECK(!sawLength);
            sawLength = true;
            CHECK(value == QByteArray::number(bodyLength));
        } else if (name.toLower() == "user-agent" || name.toLower() == "x-wap-profile") {
            CHECK(!seen.contains(name.toLower()) || extraName.toLatin1().toLower() == name.toLower());
        }
        seen << name.toLower();
    }
    CHECK(sawHost);
    CHECK(sawLength == (post || hasBody));
    return 0;
}
