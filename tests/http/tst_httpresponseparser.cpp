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
    void splitsDoNotMatter_data() { responses(); }
    void splitsDoNotMatter()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, body);
        const Outcome whole = parse(raw);
        QVERIFY(whole.complete);
        QCOMPARE(whole.body, body);
        QCOMPARE(whole.headers, 1);

        QVector<int> everyByte;
        for (int i = 1; i < raw.size(); ++i)
            everyByte << i;
        QCOMPARE(parse(raw, everyByte), whole);
        for (int i = 1; i < raw.size(); ++i)
            QCOMPARE(parse(raw, { i }), whole);
        for (int i = 1; i < raw.size(); i += 3)
            for (int j = i + 1; j < raw.size(); j += 2)
                QCOMPARE(parse(raw, { i, j }), whole);
    }

    void truncationIsNeverSuccess_data() { responses(); }
    void truncationIsNeverSuccess()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, body);
        QFETCH(bool, closeDelimited);
        const int headEnd = raw.size() - body.size();
        for (int cut = 0; cut < raw.size(); ++cut) {
            const QByteArray prefix = raw.left(cut);
            for (bool byteByByte : { false, true }) {
                QVector<int> cuts;
                if (byteByByte)
                    for (int i = 1; i < cut; ++i)
                        cuts << i;
                const Outcome o = parse(prefix, cuts);
                if (cut < headEnd) {
                    // Cut in the header (or trailers of a chunked body).
                    QVERIFY2(!o.complete, qPrintable(QString::number(cut)));
                    QCOMPARE(o.error,
                        o.headers ? int(HttpResponseParser::WrongContentLength)
                                  : int(HttpResponseParser::UnexpectedClose));
                } else if (closeDelimited) {
                    QVERIFY(o.complete);
                    QCOMPARE(o.body, body.left(cut - headEnd));
                } else {
                    QVERIFY2(!o.complete, qPrintable(QString::number(cut)));
                    QCOMPARE(o.error, int(HttpResponseParser::WrongContentLength));
                }
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
        QTest::newRow("trailer without colon")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n0\r\nnot a field\r\n\r\n");
    }
    void malformed()
    {
        QFETCH(QByteArray, raw);
        QVector<int> everyByte;
        for (int i = 1; i < raw.size(); ++i)
            everyByte << i;
        for (const QVector<int> &cuts : { QVector<int>(), everyByte }) {
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
        QTest::newRow("1.1 length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n") << true
                                    << len << qint64(4) << true;
        QTest::newRow("same length twice")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 4, 4\r\n\r\n") << true
            << len << qint64(4) << true;
        QTest::newRow("1.1 close") << QByteArray(
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 4\r\n\r\n")
                                   << true << len << qint64(4) << false;
        QTest::newRow("1.0") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n") << true << len
                             << qint64(4) << false;
        QTest::newRow("1.0 keep-alive")
            << QByteArray("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 4\r\n\r\n") << true
            << len << qint64(4) << true;
        QTest::newRow("chunked wins over length")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n")
            << true << chunked << qint64(-1) << true;
        QTest::newRow("other coding: until close")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 4\r\n\r\n") << true
            << close << qint64(-1) << false;
        QTest::newRow("identity is no coding")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 4\r\n\r\n")
            << true << len << qint64(4) << true;
        QTest::newRow("no length: until close")
            << QByteArray("HTTP/1.1 200 OK\r\n\r\n") << true << close << qint64(-1) << false;
        QTest::newRow("204") << QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\n") << true
                             << none << qint64(-1) << true;
        QTest::newRow("304") << QByteArray("HTTP/1.1 304 Not Modified\r\n\r\n") << true << none << qint64(-1)
                             << true;
        QTest::newRow("answer to HEAD") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n") << false
                                        << none << qint64(-1) << true;
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

    void bytesAfterTheResponseAreLeft()
    {
        const QByteArray raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiHTTP/1.1 200 OK\r\n";
        Collector c;
        HttpResponseParser p(&c);
        p.reset();
        QCOMPARE(p.feed(raw.constData(), raw.size()), qint64(raw.indexOf("hi") + 2));
        QVERIFY(p.isComplete());
        QCOMPARE(c.out.body, QByteArray("hi"));
        QCOMPARE(p.feed("more", 4), qint64(0));
    }

    void handlerCanStop()
    {
        class Stopper : public Collector
        {
        public:
            bool headerReceived(const QHttpResponseHeader &h) override
            {
                Collector::headerReceived(h);
                return false;
            }
        } stopper;
        const QByteArray raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
        HttpResponseParser p(&stopper);
        p.reset();
        QCOMPARE(p.feed(raw.constData(), raw.size()), qint64(raw.size() - 2));
        QVERIFY(stopper.out.body.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
