// The response parser on its own: bytes in, events out. Cheap enough to try
// every cut and every split of each response.
#include <QtTest>

#include "httpresponseparser.h"

namespace {

// What a parse produced, in a form that compares whole.
struct Outcome
{
    QString header; // "200 OK|k: v|k: v" of the final header
    int headers = 0;
    QByteArray body;
    bool complete = false;
    int error = HttpResponseParser::NoError;
    bool keepAlive = false;

    // All of it as text, to compare whole and to show.
    QString text() const
    {
        return QStringLiteral("[%1] x%2 body=%3 complete=%4 error=%5 keepAlive=%6")
            .arg(header, QString::number(headers), QString::fromLatin1(body.toPercentEncoding()))
            .arg(complete)
            .arg(error)
            .arg(keepAlive);
    }
};

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
Outcome parse(const QByteArray &bytes, const QVector<int> &cuts = {}, bool close = true)
{
    Collector c;
    HttpResponseParser p(&c);
    p.reset();
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

private Q_SLOTS:
    // Every split gives the same outcome as one piece; every cut, fed whole or
    // one byte at a time, never ends as success with a short body. The rows
    // cover how the body is delimited and whether the connection may be reused.
    void cutsAndSplits_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("closeDelimited");
        QTest::addColumn<bool>("keepAlive");
        auto row = [](const char *name, const QByteArray &raw, const QByteArray &body, bool keepAlive,
                       bool closeDelimited = false) {
            QTest::newRow(name) << raw << body << closeDelimited << keepAlive;
        };
        row("content-length",
            "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: 11\r\n\r\n"
            "hello world",
            "hello world", true);
        row("chunked wins over length; extension, trailers",
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n"
            "6\r\n world\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n",
            "hello world", true);
        row("1.0 close-delimited", "HTTP/1.0 200 OK\r\nServer: s\r\n\r\nhello world", "hello world", false,
            true);
        row("other coding: until close",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nabcd", "abcd", false,
            true);
        row("identity coding, same length twice",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\nContent-Length: 2, "
            "2\r\n\r\nhi",
            "hi", true);
        row("1.1 close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nhi", "hi", false);
        row("1.0 length", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi", "hi", false);
        row("1.0 keep-alive", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nhi",
            "hi", true);
        row("interim then length",
            "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", "hi", true);
        row("304 has no body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 4\r\n\r\n", "", true);
        row("folded, bare LF", "HTTP/1.1 404 Not Found\nX-A: one\n two\nContent-Length: 3\n\nnah", "nah",
            true);
    }
    void cutsAndSplits()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, body);
        QFETCH(bool, closeDelimited);
        QFETCH(bool, keepAlive);
        const Outcome whole = parse(raw);
        QVERIFY(whole.complete);
        QCOMPARE(whole.body, body);
        QCOMPARE(whole.headers, 1);
        QCOMPARE(whole.keepAlive, keepAlive);
        QCOMPARE(parse(raw, everyByte(raw.size())).text(), whole.text());
        for (int i = 1; i < raw.size(); i += 3)
            for (int j = i; j < raw.size(); j += 2)
                QCOMPARE(parse(raw, { i, j }).text(), whole.text());

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
        QTest::newRow("status 099") << QByteArray("HTTP/1.1 099 Odd\r\n\r\n");
        QTest::newRow("status 4 digits") << QByteArray("HTTP/1.1 2000 OK\r\n\r\n");
        QTest::newRow("space before colon") << QByteArray(ok + "Content-Length : 1\r\n\r\nx");
        QTest::newRow("fold without field") << QByteArray(ok + " folded\r\n\r\n");
        QTest::newRow("NUL in value") << ok + QByteArray("X: a\0b\r\n\r\n", 11);
        QTest::newRow("bare CR in value") << QByteArray(ok + "X: a\rb\r\n\r\n");
        QTest::newRow("Content-Length list conflicts") << QByteArray(ok + "Content-Length: 2, 3\r\n\r\nxyz");
        QTest::newRow("chunk size negative") << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n-1\r\nx");
        QTest::newRow("chunk data overruns")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n");
        QTest::newRow("field without colon") << QByteArray(ok + "Bogus\r\n\r\n");
        // One digits-only rule refuses signs, letters and blanks alike.
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
        // Status line, one big field and the empty line: exactly 64 KiB passes,
        // one byte more does not, nor a head that never ends.
        const QByteArray big
            = status + "X: " + QByteArray(HttpResponseParser::MaxHeadSize - status.size() - 7, 'a');
        QCOMPARE(big.size() + 4, HttpResponseParser::MaxHeadSize);
        QCOMPARE(parse(big + "\r\n\r\n").error, int(HttpResponseParser::NoError));
        QCOMPARE(parse(big + "a\r\n\r\n").error, int(HttpResponseParser::InvalidHeader));
        QCOMPARE(
            parse(big + QByteArray(200000, 'a'), {}, false).error, int(HttpResponseParser::InvalidHeader));

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

        // A chunk-size line of 1 KiB with its CR LF passes, one byte more does
        // not; leading zeros are no overflow, 2^63 is.
        const QByteArray head = status + "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray line = "1;" + QByteArray(HttpResponseParser::MaxChunkLine - 4, 'e') + "\r\n";
        QCOMPARE(parse(head + line + "x\r\n0\r\n\r\n").error, int(HttpResponseParser::NoError));
        QCOMPARE(parse(head + "e" + line + "x\r\n0\r\n\r\n").error, int(HttpResponseParser::InvalidHeader));
        QCOMPARE(parse(head + QByteArray(100, '0') + "1\r\nx\r\n0\r\n\r\n").body, QByteArray("x"));
        QCOMPARE(parse(head + "7fffffffffffffff\r\nx", {}, false).error, int(HttpResponseParser::NoError));
        QCOMPARE(
            parse(head + "8000000000000000\r\nx", {}, false).error, int(HttpResponseParser::InvalidHeader));
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
