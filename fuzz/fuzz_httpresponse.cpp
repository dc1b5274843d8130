// Arbitrary bytes into HttpResponseParser, in arbitrary pieces.
//
// Input: byte 0 holds flags (bit 0: a body is allowed, i.e. not HEAD; bits
// 1-3: number of cut points), then one byte per cut point (distance to the
// previous cut, 1..256), then the response bytes.
//
// The same bytes must give the same events whatever the pieces (in one piece,
// at the chosen cuts, one byte at a time), and no body byte may go beyond a
// declared Content-Length or be reported for a response without a body.

#include "httpresponseparser.h"
#include "httpsyntax.h"

#include <QByteArray>
#include <QVector>

#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            fail(#cond);                                                                                     \
    } while (0)

#define CHECK_SAME(a, b)                                                                                     \
    do {                                                                                                     \
        const QByteArray d = (a).differences(b);                                                             \
        if (!d.isEmpty())                                                                                    \
            fail((#a " and " #b " differ in" + d).constData());                                              \
    } while (0)

struct Outcome : HttpResponseParser::Handler
{
    int headers = 0;
    int status = 0;
    QString reason;
    int major = 0, minor = 0;
    QList<QPair<QString, QString>> fields;
    QByteArray body;
    qint64 consumed = 0;
    bool complete = false;
    HttpResponseParser::Error error = HttpResponseParser::NoError;
    HttpResponseParser::BodyKind kind = HttpResponseParser::NoBody;
    qint64 contentLength = -1;
    bool keepAlive = false;
    const HttpResponseParser *parser = nullptr;

    bool headerReceived(const QHttpResponseHeader &h) override
    {
        ++headers;
        status = h.statusCode();
        reason = h.reasonPhrase();
        major = h.majorVersion();
        minor = h.minorVersion();
        fields = h.values();
        return true;
    }
    bool bodyReceived(const char *data, qint64 size) override
    {
        CHECK(headers == 1);
        CHECK(size > 0);
        CHECK(parser->bodyKind() != HttpResponseParser::NoBody);
        body.append(data, int(size));
        if (parser->bodyKind() == HttpResponseParser::LengthBody)
            CHECK(body.size() <= parser->contentLength());
        return true;
    }

    // Names of the members that differ, empty when none does.
    QByteArray differences(const Outcome &o) const
    {
        QByteArray d;
        auto note = [&d](bool same, const char *name) {
            if (!same)
                d += QByteArray(" ") + name;
        };
        note(headers == o.headers, "headers");
        note(status == o.status, "status");
        note(reason == o.reason, "reason");
        note(major == o.major && minor == o.minor, "version");
        note(fields == o.fields, "fields");
        note(body == o.body, "body");
        // After an error, how far the parser got into the failing line
        // depends on where the pieces ended; nothing reads the count then.
        note(
            consumed == o.consumed || (error != HttpResponseParser::NoError && error == o.error), "consumed");
        note(complete == o.complete, "complete");
        note(error == o.error, "error");
        note(kind == o.kind, "kind");
        note(contentLength == o.contentLength, "contentLength");
        note(keepAlive == o.keepAlive, "keepAlive");
        return d;
    }
};

Outcome run(const char *data, qint64 size, bool bodyAllowed, const QVector<qint64> &cuts)
{
    Outcome out;
    HttpResponseParser parser(&out);
    out.parser = &parser;
    parser.reset(bodyAllowed);
    qint64 from = 0;
    QVector<qint64> ends = cuts;
    ends.append(size);
    for (qint64 to : ends) {
        if (to <= from)
            continue;
        const qint64 n = parser.feed(data + from, to - from);
        CHECK(n >= 0 && n <= to - from);
        out.consumed += n;
        if (n < to - from) {
            // Only the end of the response or an error leaves bytes behind.
            CHECK(parser.isComplete() || parser.hasError());
            break;
        }
        from = to;
    }
    if (!parser.isComplete() && !parser.hasError())
        parser.finish();
    CHECK(parser.isComplete() != parser.hasError());
    CHECK(parser.bytesReceived() == out.consumed);
    CHECK(parser.bodyBytes() == out.body.size());
    out.complete = parser.isComplete();
    out.error = parser.error();
    out.kind = parser.bodyKind();
    out.contentLength = parser.contentLength();
    out.keepAlive = parser.keepAlive();

    CHECK(out.headers <= 1);
    if (out.headers == 1) {
        CHECK(out.status >= 200 && out.status <= 999);
        CHECK(out.major == 1 && out.minor >= 0 && out.minor <= 9);
        CHECK(out.fields.size() <= HttpResponseParser::MaxFields);
        CHECK(!HttpSyntax::hasLineBreakOrNul(out.reason));
        for (const auto &f : out.fields)
            CHECK(HttpSyntax::isToken(f.first.toLatin1()) && !HttpSyntax::hasLineBreakOrNul(f.second));
    }
    if (out.complete) {
        CHECK(out.headers == 1);
        if (out.kind == HttpResponseParser::LengthBody)
            CHECK(out.body.size() == out.contentLength);
        if (out.kind == HttpResponseParser::NoBody)
            CHECK(out.body.isEmpty());
        if (!bodyAllowed || out.status == 204 || out.status == 304)
            CHECK(out.kind == HttpResponseParser::NoBody);
    }
    if (out.error == HttpResponseParser::UnexpectedClose)
        CHECK(out.headers == 0);
    if (out.error == HttpResponseParser::WrongContentLength)
        CHECK(out.headers == 1);
    if (out.kind == HttpResponseParser::CloseDelimitedBody)
        CHECK(!out.keepAlive);
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
    if (size < 1)
        return 0;
    const bool bodyAllowed = bytes[0] & 1;
    const int cutCount = (bytes[0] >> 1) & 7;
    if (size < size_t(1 + cutCount))
        return 0;
    const char *data = reinterpret_cast<const char *>(bytes) + 1 + cutCount;
    const qint64 length = qint64(size) - 1 - cutCount;

    QVector<qint64> cuts;
    qint64 at = 0;
    for (int i = 0; i < cutCount; ++i) {
        at += qint64(bytes[1 + i]) + 1;
        if (at < length)
            cuts.append(at);
    }

    const Outcome whole = run(data, length, bodyAllowed, {});
    const Outcome pieces = run(data, length, bodyAllowed, cuts);
    CHECK_SAME(whole, pieces);
    if (length <= 128) {
        QVector<qint64> everyByte;
        for (qint64 i = 1; i < length; ++i)
            everyByte.append(i);
        const Outcome bytewise = run(data, length, bodyAllowed, everyByte);
        CHECK_SAME(whole, bytewise);
    }
    return 0;
}
