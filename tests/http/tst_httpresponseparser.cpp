// The response parser on its own: bytes in, events out. Cheap enough to try
// every cut and every split of each response.
#include <QtTest>

#include "httpresponseparser.h"

namespace {

// What a parse produced, in a form that compares whole.
struct Outcome
{
    QString header; // "200 OK|k: v|k: v" of the final header, empty if none
    int headers = 0;
    QByteArray body;
    bool complete = false;
    int error = HttpResponseParser::NoError;
    bool keepAlive = false;

    bool operator==(const Outcome &o) const
    {
        return header == o.header && headers == o.headers && body == o.body && complete == o.complete
            && error == o.error && keepAlive == o.keepAlive;
    }
};

char *toString(const Outcome &o)
{
    return QTest::toString(QStringLiteral("header=[%1] x%2 body=%3 complete=%4 error=%5 keepAlive=%6")
                               .arg(o.header)
                               .arg(o.headers)
                               .arg(QString::fromLatin1(o.body.toPercentEncoding()))
                               .arg(o.complete)
                               .arg(o.error)
                               .arg(o.keepAlive));
}

class Collector : public HttpResponseParser::Handler
{
public:
    bool headerReceived(const QHttpResponseHeader &h) override
    {
        ++out.headers;
        out.header = QString::number(h.statusCode()) + QLatin1Char(' ') + h.reasonPhrase();
        for (const auto &f : h.values())
            out.header += QLatin1Char('|') + f.first + QLatin1String(": ") + f.second;
        return true;
    }
    bool bodyReceived(const char *data, qint64 size) override
    {
        out.body.append(data, int(size));
        return true;
    }
    Outcome out;
};

// Feeds the bytes in the pieces that cuts gives, then closes when asked.
Outcome parse(
    const QByteArray &bytes, const QVector<int> &cuts = {}, bool close = true, bool bodyAllowed = true)
{
    Collector c;
    HttpResponseParser p(&c);
    p.reset(bodyAllowed);
    int from = 0;
    QVector<int> ends = cuts;
    ends << bytes.size();
    for (int end : ends) {
        while (from < end) {
            const qint64 used = p.feed(bytes.constData() + from, end - from);
            if (used == 0)
                break;
            from += int(used);
        }
    }
    if (close)
        p.finish();
    c.out.complete = p.isComplete();
    c.out.error = p.error();
    c.out.keepAlive = p.keepAlive();
    return c.out;
}

QVector<int> everyByte(int size)
{
    QVector<int> cuts;
    for (int i = 1; i < size; ++i)
        cuts << i;
    return cuts;
}

} // namespace

class TestHttpResponseParser : public QObject
{
    Q_OBJECT

private:
    void responses()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("closeDelimited");
        QTest::newRow("content-length")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                          "Content-Length: 11\r\n\r\nhello world")
            << QByteArray("hello world") << false;
        QTest::newRow("chunked, extension, trailers")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n"
                          "6\r\n world\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n")
            << QByteArray("hello world") << false;
        QTest::newRow("close-delimited") << QByteArray("HTTP/1.0 200 OK\r\nServer: s\r\n\r\nhello world")
                                         << QByteArray("hello world") << true;
        QTest::newRow("interim then length")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi")
            << QByteArray("hi") << false;
        QTest::newRow("folded, bare LF")
            << QByteArray("HTTP/1.1 404 Not Found\nX-A: one\n two\nContent-Length: 3\n\nnah")
            << QByteArray("nah") << false;
    }

private Q_SLOTS:
    // Every split gives the same outcome as one piece; every cut, fed whole or
    // one byte at a time, never ends as success with a short body.
    void cutsAndSplits_data() { responses(); }
    void cutsAndSplits()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, body);
        QFETCH(bool, closeDelimited);
        const Outcome whole = parse(raw);
        QVERIFY(whole.complete);
        QCOMPARE(whole.body, body);
        QCOMPARE(whole.headers, 1);
        QCOMPARE(parse(raw, everyByte(raw.size())), whole);
        for (int i = 1; i < raw.size(); i += 3)
            for (int j = i; j < raw.size(); j += 2)
                QCOMPARE(parse(raw, { i, j }), whole);

        const int headEnd = raw.size() - body.size();
        for (int cut = 0; cut < raw.size(); ++cut) {
            for (const QVector<int> &cuts : { QVector<int>(), everyByte(cut) }) {
                const Outcome o = parse(raw.left(cut), cuts);
                QVERIFY2(o.complete == (closeDelimited && cut >= headEnd), qPrintable(QString::number(cut)));
                if (o.complete)
                    QCOMPARE(o.body, body.left(cut - headEnd));
                else // cut in the head (or a chunked body's trailers) or in a framed body
                    QCOMPARE(o.error,
                        o.headers ? int(HttpResponseParser::WrongContentLength)
                                  : int(HttpResponseParser::UnexpectedClose));
            }
        }
        // Without a close, a framed response is complete on its last byte.
        QCOMPARE(parse(raw, {}, false).complete, !closeDelimited);
        QCOMPARE(parse(raw.left(raw.size() - 1), {}, false).complete, false);
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("raw");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("HTTP/2 status line") << QByteArray("HTTP/2.0 200 OK\r\n\r\n");
        QTest::newRow("no version") << QByteArray("200 OK\r\n\r\n");
        QTest::newRow("status 099") << QByteArray("HTTP/1.1 099 Odd\r\n\r\n");
        QTest::newRow("status 4 digits") << QByteArray("HTTP/1.1 2000 OK\r\n\r\n");
        QTest::newRow("space before colon") << QByteArray(ok + "Content-Length : 1\r\n\r\nx");
        QTest::newRow("empty name") << QByteArray(ok + ": v\r\n\r\n");
        QTest::newRow("fold without field") << QByteArray(ok + " folded\r\n\r\n");
        QTest::newRow("NUL in value") << ok + QByteArray("X: a\0b\r\n\r\n", 11);
        QTest::newRow("bare CR in value") << QByteArray(ok + "X: a\rb\r\n\r\n");
        QTest::newRow("empty Content-Length") << QByteArray(ok + "Content-Length:\r\n\r\n");
        QTest::newRow("Content-Length list conflicts") << QByteArray(ok + "Content-Length: 2, 3\r\n\r\nxyz");
        QTest::newRow("Content-Length hex") << QByteArray(ok + "Content-Length: 0x10\r\n\r\n");
        QTest::newRow("chunk size empty") << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n\r\nx");
        QTest::newRow("chunk size negative") << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n-1\r\nx");
        QTest::newRow("chunk data overruns")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n");
        QTest::newRow("chunk size 2^64")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n");
        QTest::newRow("bad status code") << QByteArray("HTTP/1.1 2x0 OK\r\n\r\n");
        QTest::newRow("field without colon") << QByteArray(ok + "Bogus\r\n\r\n");
        QTest::newRow("length not a number") << QByteArray(ok + "Content-Length: 1x\r\n\r\nx");
        QTest::newRow("length negative") << QByteArray(ok + "Content-Length: -1\r\n\r\n");
        QTest::newRow("length with sign") << QByteArray(ok + "Content-Length: +1\r\n\r\nx");
        QTest::newRow("length overflows") << QByteArray(ok + "Content-Length: 99999999999999999999\r\n\r\n");
        QTest::newRow("lengths conflict")
            << QByteArray(ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy");
        QTest::newRow("chunk size not hex") << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\nx");
        QTest::newRow("trailer without colon")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n0\r\nnot a field\r\n\r\n");
    }
    void malformed()
    {
        QFETCH(QByteArray, raw);
        for (const QVector<int> &cuts : { QVector<int>(), everyByte(raw.size()) }) {
            const Outcome o = parse(raw, cuts, false);
            QCOMPARE(o.error, int(HttpResponseParser::InvalidHeader));
            QVERIFY(!o.complete);
        }
    }

    void limits()
    {
        const QByteArray status = "HTTP/1.1 200 OK\r\n";
        // Status line, one big field and the empty line: exactly 64 KiB passes.
        const int fill = HttpResponseParser::MaxHeadSize - status.size() - 2 - 5 - 2;
        const QByteArray atLimit = status + "X: " + QByteArray(fill + 2, 'a') + "\r\n\r\n";
        QCOMPARE(atLimit.size(), HttpResponseParser::MaxHeadSize);
        QCOMPARE(parse(atLimit).error, int(HttpResponseParser::NoError));
        const QByteArray over = status + "X: " + QByteArray(fill + 3, 'a') + "\r\n\r\n";
        QCOMPARE(parse(over).error, int(HttpResponseParser::InvalidHeader));
        // ...also when it never ends: the parser stops at the limit.
        QCOMPARE(parse(status + "X: " + QByteArray(200000, 'a'), {}, false).error,
            int(HttpResponseParser::InvalidHeader));

        QByteArray fields;
        for (int i = 0; i < HttpResponseParser::MaxFields; ++i)
            fields += "F" + QByteArray::number(i) + ": v\r\n";
        QCOMPARE(parse(status + fields + "\r\n").error, int(HttpResponseParser::NoError));
        QCOMPARE(parse(status + fields + "One: more\r\n\r\n").error, int(HttpResponseParser::InvalidHeader));

        // Interim responses count towards the same budget.
        QByteArray interim;
        while (interim.size() <= HttpResponseParser::MaxHeadSize)
            interim += "HTTP/1.1 100 Continue\r\n\r\n";
        QCOMPARE(parse(interim + "HTTP/1.1 200 OK\r\n\r\n").error, int(HttpResponseParser::InvalidHeader));

        // Chunk-size line of 1 KiB with its CR LF passes, one byte more does not.
        const QByteArray head = status + "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray line = "1;" + QByteArray(HttpResponseParser::MaxChunkLine - 4, 'e') + "\r\n";
        QCOMPARE(line.size(), HttpResponseParser::MaxChunkLine);
        QCOMPARE(parse(head + line + "x\r\n0\r\n\r\n").error, int(HttpResponseParser::NoError));
        QCOMPARE(parse(head + "e" + line + "x\r\n0\r\n\r\n").error, int(HttpResponseParser::InvalidHeader));
        // Leading zeros are not an overflow.
        QCOMPARE(parse(head + QByteArray(100, '0') + "1\r\nx\r\n0\r\n\r\n").body, QByteArray("x"));
        QCOMPARE(parse(head + "7fffffffffffffff\r\nx", {}, false).error, int(HttpResponseParser::NoError));
        QCOMPARE(
            parse(head + "8000000000000000\r\nx", {}, false).error, int(HttpResponseParser::InvalidHeader));
    }

    void framing_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<bool>("bodyAllowed");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("keepAlive");
        const int none = HttpResponseParser::NoBody, len = HttpResponseParser::LengthBody,
                  chunked = HttpResponseParser::ChunkedBody, close = HttpResponseParser::CloseDelimitedBody;
        auto row = [](const char *name, const QByteArray &fields, int kind, qint64 length, bool keepAlive,
                       const QByteArray &status = "HTTP/1.1 200 OK", bool bodyAllowed = true) {
            QTest::newRow(name) << status + "\r\n" + fields + "\r\n"
                                << bodyAllowed << kind << length << keepAlive;
        };
        const QByteArray four = "Content-Length: 4\r\n";
        row("1.1 length", four, len, 4, true);
        row("same length twice", four + "Content-Length: 4, 4\r\n", len, 4, true);
        row("chunked wins over length", four + "Transfer-Encoding: chunked\r\n", chunked, -1, true);
        row("other coding: until close", "Transfer-Encoding: gzip\r\n" + four, close, -1, false);
        row("identity is no coding", "Transfer-Encoding: identity\r\n" + four, len, 4, true);
        row("no length: until close", "", close, -1, false);
        row("304", "", none, -1, true, "HTTP/1.1 304 Not Modified");
        row("answer to HEAD", four, none, -1, true, "HTTP/1.1 200 OK", false);
    }
    void framing()
    {
        QFETCH(QByteArray, raw);
        QFETCH(bool, bodyAllowed);
        QFETCH(int, kind);
        QFETCH(qint64, length);
        QFETCH(bool, keepAlive);
        HttpResponseParser p;
        p.reset(bodyAllowed);
        QCOMPARE(p.feed(raw.constData(), raw.size()), qint64(raw.size()));
        QVERIFY(p.isHeaderComplete());
        QCOMPARE(int(p.bodyKind()), kind);
        QCOMPARE(p.contentLength(), length);
        QCOMPARE(p.keepAlive(), keepAlive);
        QCOMPARE(p.isComplete(), kind == HttpResponseParser::NoBody);
    }

    // Bytes past the response belong to the next one; a handler that says stop
    // stops the parser before the body.
    void feedStopsWhereItShould()
    {
        const QByteArray raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiHTTP/1.1 200 OK\r\n";
        const qint64 headSize = raw.indexOf("hi");
        Collector c;
        HttpResponseParser p(&c);
        p.reset();
        QCOMPARE(p.feed(raw.constData(), raw.size()), headSize + 2);
        QVERIFY(p.isComplete());
        QCOMPARE(c.out.body, QByteArray("hi"));
        QCOMPARE(p.feed("more", 4), qint64(0));

        struct Stopper : Collector
        {
            bool headerReceived(const QHttpResponseHeader &) override { return false; }
        } stopper;
        HttpResponseParser stopped(&stopper);
        stopped.reset();
        QCOMPARE(stopped.feed(raw.constData(), raw.size()), headSize);
        QVERIFY(stopper.out.body.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
