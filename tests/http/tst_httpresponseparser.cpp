// The response parser on its own: bytes in, events out. Cheap enough to try
// every cut and every split of each response.
#include <QtTest>

#include "httpresponseparser.h"

namespace {

// What a parse produced: each header as "200 OK|k: v;", the body, and the
// parser's end state.
struct Outcome : HttpResponseParser::Handler
{
    bool headerReceived(const QHttpResponseHeader &h) override
    {
        head += QString::number(h.statusCode()) + QLatin1Char(' ') + h.reasonPhrase();
        for (const auto &f : h.values())
            head += QLatin1Char('|') + f.first + QLatin1String(": ") + f.second;
        head += QLatin1Char(';');
        return !stop;
    }
    bool bodyReceived(const char *data, qint64 size) override
    {
        body.append(data, int(size));
        return true;
    }
    QString text() const
    {
        return QStringLiteral("%1 body=%2 complete=%3 error=%4 keepAlive=%5")
            .arg(head, QString::fromLatin1(body.toPercentEncoding()))
            .arg(complete)
            .arg(error)
            .arg(keepAlive);
    }
    QString head;
    QByteArray body;
    bool stop = false, complete = false, keepAlive = false;
    int error = 0, used = 0;
};

// Feeds the bytes in pieces ending at the cuts, then closes when asked.
Outcome parse(const QByteArray &bytes, const QVector<int> &cuts = {}, bool close = true, bool stop = false)
{
    Outcome o;
    o.stop = stop;
    HttpResponseParser p(&o);
    p.reset();
    for (int end : cuts + QVector<int>({ int(bytes.size()) }))
        o.used += int(p.feed(bytes.constData() + o.used, end - o.used));
    if (close)
        p.finish();
    o.complete = p.isComplete();
    o.error = p.error();
    o.keepAlive = p.keepAlive();
    return o;
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
        QVERIFY(whole.complete && whole.head.count(QLatin1Char(';')) == 1);
        QCOMPARE(whole.body, body);
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
                        o.head.isEmpty() ? int(HttpResponseParser::UnexpectedClose)
                                         : int(HttpResponseParser::WrongContentLength));
            }
        }
        // Without a close, a framed response is complete on its last byte.
        QCOMPARE(parse(raw, {}, false).complete, !closeDelimited);
        QCOMPARE(parse(raw.left(raw.size() - 1), {}, false).complete, false);
    }

    // Malformed framing and heads over the limits are refused, whole or byte
    // by byte; right at the limits a response passes.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<bool>("refused");
        auto bad = [](const char *name, const QByteArray &raw) { QTest::newRow(name) << raw << true; };
        const QByteArray ok = "HTTP/1.1 200 OK\r\n", chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
        bad("HTTP/2 status line", "HTTP/2.0 200 OK\r\n\r\n");
        bad("status 099", "HTTP/1.1 099 Odd\r\n\r\n");
        bad("status 4 digits", "HTTP/1.1 2000 OK\r\n\r\n");
        bad("space before colon", ok + "Content-Length : 1\r\n\r\nx");
        bad("fold without field", ok + " folded\r\n\r\n");
        bad("NUL in value", ok + QByteArray("X: a\0b\r\n\r\n", 11));
        bad("bare CR in value", ok + "X: a\rb\r\n\r\n");
        bad("field without colon", ok + "Bogus\r\n\r\n");
        // One digits-only rule refuses signs, letters and blanks alike.
        bad("length with sign", ok + "Content-Length: +1\r\n\r\nx");
        bad("length overflows", ok + "Content-Length: 99999999999999999999\r\n\r\n");
        bad("lengths conflict", ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy");
        bad("Content-Length list conflicts", ok + "Content-Length: 2, 3\r\n\r\nxyz");
        bad("chunk size negative", chunked + "-1\r\nx");
        bad("chunk size not hex", chunked + "zz\r\nx");
        bad("chunk size 2^63", chunked + "8000000000000000\r\nx");
        bad("chunk data overruns", chunked + "3\r\nabcd\r\n0\r\n\r\n");
        bad("trailer without colon", chunked + "0\r\nnot a field\r\n\r\n");

        // Status line, one field and the empty line: exactly 64 KiB.
        const QByteArray big = ok + "X: " + QByteArray(HttpResponseParser::MaxHeadSize - ok.size() - 7, 'a');
        QTest::newRow("head at limit") << big + "\r\n\r\n" << false;
        bad("head over limit", big + "a\r\n\r\n");
        bad("head never ends", big + QByteArray(200000, 'a'));
        QByteArray fields;
        for (int i = 0; i < HttpResponseParser::MaxFields; ++i)
            fields += "F" + QByteArray::number(i) + ": v\r\n";
        QTest::newRow("fields at limit") << ok + fields + "\r\n" << false;
        bad("fields over limit", ok + fields + "One: more\r\n\r\n");
        QByteArray interim;
        while (interim.size() <= HttpResponseParser::MaxHeadSize)
            interim += "HTTP/1.1 100 Continue\r\n\r\n";
        bad("interim heads count", interim + ok + "\r\n");
        // A chunk-size line of 1 KiB with its CR LF; leading zeros are no overflow.
        const QByteArray line = "1;" + QByteArray(HttpResponseParser::MaxChunkLine - 4, 'e') + "\r\n";
        QTest::newRow("chunk line at limit") << chunked + line + "x\r\n0\r\n\r\n" << false;
        bad("chunk line over limit", chunked + "e" + line + "x\r\n0\r\n\r\n");
        QTest::newRow("chunk size, leading zeros") << chunked + QByteArray(100, '0') + "1\r\nx\r\n0\r\n\r\n"
                                                   << false;
    }
    void refused()
    {
        QFETCH(QByteArray, raw);
        QFETCH(bool, refused);
        for (const QVector<int> &cuts : { QVector<int>(), everyByte(raw.size()) }) {
            const Outcome o = parse(raw, cuts, !refused);
            QCOMPARE(
                o.error, refused ? int(HttpResponseParser::InvalidHeader) : int(HttpResponseParser::NoError));
            QCOMPARE(o.complete, !refused);
        }
    }

    // Bytes past the response belong to the next one; a handler that says
    // stop stops the parser before the body.
    void feedStopsWhereItShould()
    {
        const QByteArray raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiHTTP/1.1 200 OK\r\n";
        const Outcome whole = parse(raw, {}, false), stopped = parse(raw, {}, false, true);
        QVERIFY(whole.complete && whole.body == "hi");
        QCOMPARE(whole.used, raw.indexOf("HTTP", 1));
        QCOMPARE(stopped.used, raw.indexOf("hi"));
        QVERIFY(stopped.body.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
