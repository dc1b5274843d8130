// The socket HTTP client against the scriptable test server, over real
// loopback sockets. The parser's own tests try every cut and split of a
// response; these prove the client around it.
#include <QBuffer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "httptestserver.h"
#include "qhttp.h"

namespace {

// Every signal of a client, in order, as text.
class Recorder : public QObject
{
public:
    explicit Recorder(QHttp *http)
    {
        connect(
            http, &QHttp::stateChanged, this, [this](int s) { events << QStringLiteral("state %1").arg(s); });
        connect(http, &QHttp::requestStarted, this,
            [this](int id) { events << QStringLiteral("started %1").arg(id); });
        connect(http, &QHttp::requestFinished, this, [this](int id, bool e) {
            events << QStringLiteral("finished %1 %2").arg(id).arg(e ? "error" : "ok");
        });
        connect(http, &QHttp::responseHeaderReceived, this, [this](const QHttpResponseHeader &h) {
            events << QStringLiteral("header %1").arg(h.statusCode());
        });
        connect(http, &QHttp::done, this,
            [this](bool e) { events << QStringLiteral("done %1").arg(e ? "error" : "ok"); });
        connect(http, &QHttp::dataSendProgress, this, [this](int d, int t) { sent << qMakePair(d, t); });
        connect(http, &QHttp::dataReadProgress, this, [this](int d, int t) { read << qMakePair(d, t); });
    }
    QStringList events;
    QList<QPair<int, int>> sent;
    QList<QPair<int, int>> read;

    QStringList only(const QString &prefix) const
    {
        QStringList out;
        for (const QString &e : events)
            if (e.startsWith(prefix))
                out << e;
        return out;
    }
};

QHttpRequestHeader get(const QString &path = QStringLiteral("/"))
{
    QHttpRequestHeader h(QStringLiteral("GET"), path);
    h.setValue(QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
    return h;
}

QHttpRequestHeader post(const QString &path = QStringLiteral("/"))
{
    return QHttpRequestHeader(QStringLiteral("POST"), path);
}

struct Sink : QBuffer
{
    Sink() { open(QIODevice::WriteOnly); }
};

// Device that makes its bytes up as they are read, random-access or, like a
// pipe's, once front to back.
class PatternDevice : public QIODevice
{
public:
    explicit PatternDevice(qint64 size, bool sequential = false)
        : m_size(size)
        , m_sequential(sequential)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return m_sequential; }
    qint64 size() const override { return m_size; }
    qint64 bytesAvailable() const override { return m_size - m_at + QIODevice::bytesAvailable(); }
    qint64 largestRead = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (!m_sequential)
            m_at = pos();
        const qint64 n = qMin(maxSize, m_size - m_at);
        memcpy(data, HttpTestServer::pattern(n, m_at).constData(), size_t(n));
        m_at += n;
        largestRead = qMax(largestRead, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_size;
    bool m_sequential;
    qint64 m_at = 0;
};

// Destination that takes limit bytes, then fails or writes short.
class FailingDevice : public QIODevice
{
public:
    FailingDevice(qint64 limit, bool shortWrite)
        : m_room(limit)
        , m_short(shortWrite)
    {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 n) override
    {
        if (m_room <= 0)
            return m_short ? 0 : -1;
        const qint64 take = qMin(m_room, n);
        m_room -= take;
        return take;
    }

private:
    qint64 m_room;
    bool m_short;
};

enum Reuse { Reused, ClientCloses, ServerCloses };

} // namespace

class TestQHttp : public QObject
{
    Q_OBJECT

private:
    HttpTestServer *m_server = nullptr;

    // Runs one GET of path against the server and waits for its end.
    bool runGet(QHttp &http, QIODevice *to, int *id = nullptr, const QString &path = QStringLiteral("/"))
    {
        QSignalSpy done(&http, &QHttp::done);
        http.setHost(HttpTestServer::host(), m_server->port());
        const int rid = http.request(get(path), nullptr, to);
        if (id)
            *id = rid;
        return done.wait(10000);
    }

private Q_SLOTS:
    void init()
    {
        m_server = new HttpTestServer(this);
        QVERIFY(m_server->listen());
    }
    void cleanup()
    {
        delete m_server;
        m_server = nullptr;
    }

    void idsOrderAndStates()
    {
        QHttp http;
        Recorder rec(&http);
        m_server->enqueue(HttpTestServer::reply(200, "hello"));
        Sink out;
        QIODevice *seen = nullptr; // the destination is still current while its request finishes
        connect(&http, &QHttp::requestFinished, this, [&](int id) {
            if (id == 2 && http.currentId() == 2)
                seen = http.currentDestinationDevice();
        });
        QCOMPARE(http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, m_server->port()), 1);
        QCOMPARE(http.request(get(QStringLiteral("/a")), nullptr, &out), 2);
        QCOMPARE(http.setProxy(QString(), 0),
            3); // an empty host turns the proxy off
        QCOMPARE(http.currentId(), 1);
        QVERIFY(http.hasPendingRequests());
        QVERIFY(rec.events.isEmpty()); // nothing before the event loop runs
        QSignalSpy done(&http, &QHttp::done);
        QVERIFY(done.wait());
        QCOMPARE(rec.events,
            QStringList(
                { "started 1", "finished 1 ok", "started 2", "state 1", "state 2", "state 3", "state 4",
                    "header 200", "state 5", "finished 2 ok", "started 3", "finished 3 ok", "done ok" }));
        QCOMPARE(rec.read, (QList<QPair<int, int>> { { 5, 5 } }));
        QCOMPARE(out.data(), QByteArray("hello"));
        QCOMPARE(seen, &out);
        QCOMPARE(http.lastResponse().statusCode(), 200);
        QCOMPARE(http.lastResponse().reasonPhrase(), QStringLiteral("OK"));
        QCOMPARE(http.state(), QHttp::Connected);
        QCOMPARE(http.error(), QHttp::NoError);
        QCOMPARE(http.currentId(), 0);
        QVERIFY(!http.hasPendingRequests());
        QCOMPARE(m_server->request(0).target, QByteArray("/a"));
    }

    void requestFormDirectAndViaProxy_data()
    {
        QTest::addColumn<bool>("proxy");
        QTest::addColumn<int>("serverPort");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QByteArray>("authorization");
        const QString none;
        QTest::newRow("direct") << false << 0 << "/mms/x?id=1" << QByteArray("/mms/x?id=1") << none
                                << QByteArray();
        QTest::newRow("direct, empty path") << false << 0 << "" << QByteArray("/") << none << QByteArray();
        QTest::newRow("proxy, port 80")
            << true << 80 << "/mms/x?id=1" << QByteArray("http://mmsc.example/mms/x?id=1") << none
            << QByteArray();
        QTest::newRow("proxy, port 8002, credentials")
            << true << 8002 << "/a" << QByteArray("http://mmsc.example:8002/a") << "user"
            << QByteArray("Basic dXNlcjpzZWNyZXQ=");
        QTest::newRow("proxy, empty path")
            << true << 8002 << "" << QByteArray("http://mmsc.example:8002/") << none << QByteArray();
    }
    void requestFormDirectAndViaProxy()
    {
        QFETCH(bool, proxy);
        QFETCH(int, serverPort);
        QFETCH(QString, path);
        QFETCH(QByteArray, target);
        QFETCH(QString, user);
        QFETCH(QByteArray, authorization);
        QHttp http;
        QSignalSpy done(&http, &QHttp::done);
        m_server->enqueue(HttpTestServer::reply(200, "x"));
        if (proxy) {
            http.setProxy(HttpTestServer::host(), m_server->port(), user, QStringLiteral("secret"));
            http.setHost(QStringLiteral("mmsc.example"), quint16(serverPort));
        } else {
            http.setHost(HttpTestServer::host(), m_server->port());
        }
        QHttpRequestHeader h(QStringLiteral("GET"), path);
        h.setValue(QStringLiteral("Host"), QStringLiteral("mmsc.example"));
        http.request(h);
        QVERIFY(done.wait());
        QCOMPARE(done.first().first().toBool(), false);
        const HttpTestRequest r = m_server->request(0);
        QCOMPARE(r.method, QByteArray("GET"));
        QCOMPARE(r.target, target);
        QCOMPARE(r.version, QByteArray("HTTP/1.1"));
        QCOMPARE(r.headerValues("host"), QList<QByteArray> { "mmsc.example" });
        QVERIFY(r.header("content-length").isNull());
        QCOMPARE(r.header("proxy-authorization"), authorization);
    }

    void postHeadersOnTheWire()
    {
        QHttp http;
        QSignalSpy done(&http, &QHttp::done);
        m_server->enqueue(HttpTestServer::reply(200));
        QByteArray pdu("\x8c\x80\x98"
                       "0123456789",
            13);
        QBuffer body(&pdu);
        body.open(QIODevice::ReadOnly);
        QHttpRequestHeader h(QStringLiteral("POST"), QStringLiteral("/mms"));
        h.setContentType(QStringLiteral("application/vnd.wap.mms-message"));
        h.addValue(QStringLiteral("User-Agent"), QStringLiteral("Agent\r\nX-Injected: 1"));
        h.addValue(QStringLiteral("x-wap-profile"), QStringLiteral("http://p.example/u.xml"));
        h.addValue(QStringLiteral("X-Nul"), QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
        h.setValue(QStringLiteral("Host"), QStringLiteral("mmsc.example"));
        h.setContentLength(99999); // the body's real length wins
        http.setHost(HttpTestServer::host(), m_server->port());
        http.request(h, &body);
        QVERIFY(done.wait());
        const HttpTestRequest r = m_server->request(0);
        QCOMPARE(r.body, pdu);
        QCOMPARE(r.headerNames(),
            QList<QByteArray>({ "Content-Type", "x-wap-profile", "Host", "Content-Length" }));
        QCOMPARE(r.header("content-length"), QByteArray("13"));
        QCOMPARE(r.header("content-type"), QByteArray("application/vnd.wap.mms-message"));
        QVERIFY(!r.raw.contains("X-Injected"));
    }

    void earlyAnswerWhileTheBodyIsStillGoing()
    {
        // An MMSC may refuse a message before it has read all of it.
        m_server->enqueue(HttpTestResponse(HttpTestServer::reply(413, "too big")).beforeBody());
        m_server->enqueue(HttpTestServer::reply(200, "next"));
        PatternDevice body(16 * 1024 * 1024);
        QHttp http;
        QSignalSpy finished(&http, &QHttp::requestFinished);
        QSignalSpy done(&http, &QHttp::done);
        Sink out;
        http.setHost(HttpTestServer::host(), m_server->port());
        const int id = http.request(post(), &body, &out);
        QVERIFY(done.wait());
        QCOMPARE(finished.last(), QVariantList({ id, false }));
        QCOMPARE(http.lastResponse().statusCode(), 413);
        QCOMPARE(out.data(), QByteArray("too big"));
        // Half a request went out: the connection cannot carry another.
        QCOMPARE(http.state(), QHttp::Unconnected);
        QVERIFY(runGet(http, &out));
        QCOMPARE(out.data(), QByteArray("too bignext"));
        QCOMPARE(m_server->connectionCount(), 2);
    }

    void keepAliveReuse()
    {
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        QHttp http;
        Recorder rec(&http);
        QSignalSpy done(&http, &QHttp::done);
        Sink out;
        http.setHost(HttpTestServer::host(), m_server->port());
        for (int i = 0; i < 200; ++i)
            http.request(get(QStringLiteral("/%1").arg(i)), nullptr, &out);
        QVERIFY(done.wait());
        QCOMPARE(out.data().size(), 400);
        QCOMPARE(m_server->requestCount(), 200);
        QCOMPARE(m_server->connectionCount(), 1);
        QCOMPARE(m_server->request(199).target, QByteArray("/199"));
        const QStringList states = rec.only("state");
        QCOMPARE(states.size(),
            2 + 3 * 200); // Sending, Reading, Connected for each after the first
        QCOMPARE(states.mid(states.size() - 3), QStringList({ "state 3", "state 4", "state 5" }));

        // Another server port means another connection.
        HttpTestServer other;
        QVERIFY(other.listen());
        other.enqueue(HttpTestServer::reply(200, "three"));
        rec.events.clear();
        http.setHost(HttpTestServer::host(), other.port());
        http.request(get());
        QVERIFY(done.wait());
        QCOMPARE(rec.only("state"),
            QStringList({ "state 6", "state 0", "state 1", "state 2", "state 3", "state 4", "state 5" }));
        QCOMPARE(other.connectionCount(), 1);
    }

    void idleCloseIsNoticed()
    {
        QHttp http;
        Recorder rec(&http);
        m_server->enqueue(HttpTestResponse(HttpTestServer::reply(200, "x")).close());
        QVERIFY(runGet(http, nullptr));
        QTRY_COMPARE(http.state(), QHttp::Unconnected);
        QCOMPARE(rec.only("state").mid(rec.only("state").size() - 3),
            QStringList({ "state 5", "state 6", "state 0" }));
    }

    // A reused connection the server had already dropped is tried once more on a
    // new one, body and all; a fresh connection, a second drop or a started
    // response is not.
    void retryOnlyWhenSafe_data()
    {
        QTest::addColumn<bool>("sequentialBody");
        QTest::addColumn<QByteArray>("beforeClose"); // what the dropping server sends
        QTest::addColumn<bool>("reuse");
        QTest::addColumn<int>("requests"); // the server sees
        QTest::newRow("retried, random-access body") << false << QByteArray() << true << 3;
        QTest::newRow("retried, sequential body") << true << QByteArray() << true << 3;
        QTest::newRow("fresh connection") << false << QByteArray() << false << 1;
        QTest::newRow("response begun") << false << QByteArray("HTTP/1.1 200 OK\r\n") << true << 2;
    }
    void retryOnlyWhenSafe()
    {
        QFETCH(bool, sequentialBody);
        QFETCH(QByteArray, beforeClose);
        QFETCH(bool, reuse);
        QFETCH(int, requests);
        QHttp http;
        if (reuse) {
            m_server->enqueue(HttpTestServer::reply(200, "first"));
            QVERIFY(runGet(http, nullptr));
        }
        m_server->enqueue(HttpTestResponse(beforeClose).close());
        m_server->enqueue(HttpTestServer::reply(200, "second"));
        const QByteArray payload = HttpTestServer::pattern(200000);
        PatternDevice body(payload.size(), sequentialBody);
        Sink out;
        QSignalSpy finished(&http, &QHttp::requestFinished);
        QSignalSpy done(&http, &QHttp::done);
        http.setHost(HttpTestServer::host(), m_server->port());
        const int id = http.request(post(QStringLiteral("/up")), &body, &out);
        QVERIFY(done.wait());
        const bool retried = requests == 3;
        QCOMPARE(finished.last(), QVariantList({ id, !retried }));
        QCOMPARE(http.error(), retried ? QHttp::NoError : QHttp::UnexpectedClose);
        QCOMPARE(m_server->requestCount(), requests);
        QCOMPARE(m_server->request(requests - 1).body, payload);
        if (!retried)
            return;
        QCOMPARE(out.data(), QByteArray("second"));
        QCOMPARE(m_server->request(2).connection, 1);
        // Only once: the next drop of a reused connection is an error again.
        m_server->enqueue(HttpTestResponse().close());
        m_server->enqueue(HttpTestResponse().close());
        QVERIFY(runGet(http, nullptr));
        QCOMPARE(http.error(), QHttp::UnexpectedClose);
        QCOMPARE(m_server->requestCount(), 5);
    }

    void responseErrors_data()
    {
        // One row per error code: the parser's tests map every malformed input.
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("status"); // of lastResponse()
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("closed, nothing sent") << QByteArray() << int(QHttp::UnexpectedClose) << 0;
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n")
                                  << int(QHttp::InvalidResponseHeader) << 0;
        QTest::newRow("bad chunk size")
            << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\nx\r\n0\r\n\r\n")
            << int(QHttp::InvalidResponseHeader) << 200;
        QTest::newRow("body short") << QByteArray(ok + "Content-Length: 10\r\n\r\nabc")
                                    << int(QHttp::WrongContentLength) << 200;
        QTest::newRow("401") << HttpTestServer::reply(401, "who?") << int(QHttp::AuthenticationRequiredError)
                             << 401;
        QTest::newRow("407") << HttpTestServer::reply(407, "who?")
                             << int(QHttp::ProxyAuthenticationRequiredError) << 407;
    }
    void responseErrors()
    {
        QFETCH(QByteArray, response);
        QFETCH(int, error);
        QFETCH(int, status);
        const bool usable = error >= QHttp::AuthenticationRequiredError; // a complete 401/407
        HttpTestResponse script(response);
        m_server->enqueue(usable ? script : script.close());
        m_server->enqueue(HttpTestServer::reply(200, "fine"));
        QHttp http;
        Recorder rec(&http);
        QSignalSpy done(&http, &QHttp::done);
        QList<QVariant> seen;
        connect(&http, &QHttp::requestFinished, this, [&](int id) {
            if (id == 2)
                seen = { int(http.error()), http.lastResponse().statusCode(), http.errorString().isEmpty() };
        });
        Sink out, next;
        http.setHost(HttpTestServer::host(), m_server->port());
        http.request(get(), nullptr, &out);
        http.request(get(), nullptr, &next);
        QVERIFY(done.wait());
        QCOMPARE(seen, QList<QVariant>({ error, status, false }));
        // The error ends only its own request.
        QCOMPARE(rec.only("finished"), QStringList({ "finished 1 ok", "finished 2 error", "finished 3 ok" }));
        QCOMPARE(rec.only("done"), QStringList({ "done error" }));
        QCOMPARE(next.data(), QByteArray("fine"));
        QCOMPARE(m_server->connectionCount(), usable ? 1 : 2);
    }

    void setupFailures()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        auto fail = [](const QString &host, quint16 port, QHttp::ConnectionMode mode, QStringList *states) {
            QHttp http;
            Recorder rec(&http);
            QSignalSpy done(&http, &QHttp::done);
            if (!host.isNull())
                http.setHost(host, mode, port);
            http.request(get());
            *states
                = done.wait() && done.last().first().toBool() ? rec.only("state") : QStringList("no error");
            return http.error();
        };
        QStringList states;
        // Rejected by the resolver itself: no name server is asked.
        QCOMPARE(fail(QStringLiteral("no such host"), 80, QHttp::ConnectionModeHttp, &states),
            QHttp::HostNotFound);
        QCOMPARE(fail(QString(), 0, QHttp::ConnectionModeHttp, &states), QHttp::HostNotFound);
        QCOMPARE(
            fail(HttpTestServer::host(), port, QHttp::ConnectionModeHttp, &states), QHttp::ConnectionRefused);
        QCOMPARE(states, QStringList({ "state 1", "state 2", "state 0" }));
        // Only plain HTTP is spoken.
        QCOMPARE(fail(HttpTestServer::host(), m_server->port(), QHttp::ConnectionModeHttps, &states),
            QHttp::UnknownError);
        QCOMPARE(m_server->requestCount(), 0);
    }

    void bodyFramings_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("total"); // announced size, 0 when unknown
        QTest::addColumn<int>("reuse");
        const QByteArray body = HttpTestServer::pattern(3000);
        QTest::newRow("chunked with trailers")
            << HttpTestServer::chunkedReply(200, body, 700, { "X-Checksum: 1", "X-More: 2" }) << body << 0
            << int(Reused);
        QTest::newRow("close-delimited")
            << HttpTestServer::closeDelimitedReply(200, body) << body << 0 << int(ServerCloses);
        QTest::newRow("1.0 close-delimited")
            << QByteArray("HTTP/1.0 200 OK\r\n\r\n" + body) << body << 0 << int(ServerCloses);
        QTest::newRow("1.1 close") << HttpTestServer::reply(200, "x", { "Connection: close" })
                                   << QByteArray("x") << 1 << int(ClientCloses);
        QTest::newRow("1.0") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx") << QByteArray("x")
                             << 1 << int(ClientCloses);
        QTest::newRow("1.0 keep-alive") << QByteArray("HTTP/1.0 200 OK\r\nConnection: "
                                                      "Keep-Alive\r\nContent-Length: 1\r\n\r\nx")
                                        << QByteArray("x") << 1 << int(Reused);
        QTest::newRow("interim responses") << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 "
                                                         "Processing\r\nX: y\r\n\r\n"
            + HttpTestServer::reply(200, "done"))
                                           << QByteArray("done") << 4 << int(Reused);
        QTest::newRow("204 has no body") << QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n")
                                         << QByteArray() << 0 << int(Reused);
        QTest::newRow("404 body kept")
            << HttpTestServer::reply(404, "nope") << QByteArray("nope") << 4 << int(Reused);
    }
    void bodyFramings()
    {
        QFETCH(QByteArray, response);
        QFETCH(QByteArray, body);
        QFETCH(int, total);
        QFETCH(int, reuse);
        QHttp http;
        Recorder rec(&http);
        HttpTestResponse script(response);
        if (reuse == ServerCloses)
            script.close();
        m_server->enqueue(script);
        m_server->enqueue(HttpTestServer::reply(200, "next"));
        Sink out;
        int id;
        QVERIFY(runGet(http, &out, &id));
        QCOMPARE(rec.only("finished").last(), QStringLiteral("finished %1 ok").arg(id));
        QCOMPARE(rec.only("header").size(), 1);
        QCOMPARE(out.data(), body);
        if (!body.isEmpty())
            QCOMPARE(rec.read.last(), qMakePair(body.size(), total));
        if (reuse == ClientCloses)
            QCOMPARE(
                rec.only("state").mid(rec.only("state").size() - 2), QStringList({ "state 6", "state 0" }));
        else if (reuse == Reused)
            QCOMPARE(rec.only("state").last(), QStringLiteral("state 5"));
        QVERIFY(runGet(http, &out));
        QCOMPARE(out.data(), body + "next");
        QCOMPARE(m_server->connectionCount(), reuse == Reused ? 1 : 2);
    }

    void truncationSweep_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("headEnd"); // where the final header ends
        QTest::addColumn<bool>("closeDelimited");
        const QByteArray body = "0123456789abcdefghij";
        const QByteArray length = HttpTestServer::reply(200, body, { "Content-Type: text/plain" });
        QTest::newRow("content-length") << length << int(length.size() - body.size()) << false;
        const QByteArray chunked = HttpTestServer::chunkedReply(200, body, 7, { "X-Sum: 9" });
        QTest::newRow("chunked") << chunked << int(chunked.indexOf("\r\n\r\n") + 4) << false;
        const QByteArray close = HttpTestServer::closeDelimitedReply(200, body);
        QTest::newRow("close-delimited") << close << int(close.size() - body.size()) << true;
    }
    void truncationSweep()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, headEnd);
        QFETCH(bool, closeDelimited);
        for (int cut = 0; cut < raw.size(); ++cut) {
            QHttp http;
            QSignalSpy finished(&http, &QHttp::requestFinished);
            m_server->enqueue(HttpTestResponse(raw).closeAfter(cut));
            Sink out;
            QVERIFY(runGet(http, &out));
            const bool failed = finished.last().at(1).toBool();
            const QByteArray where = "cut at " + QByteArray::number(cut);
            if (closeDelimited && cut >= headEnd) {
                QVERIFY2(!failed, where);
                QCOMPARE(out.data(), raw.mid(headEnd, cut - headEnd));
            } else {
                QVERIFY2(failed, where);
                QCOMPARE(int(http.error()),
                    cut < headEnd ? int(QHttp::UnexpectedClose) : int(QHttp::WrongContentLength));
            }
        }
    }

    void oneByteAtATimeGivesTheSameResult_data() { truncationSweep_data(); }
    void oneByteAtATimeGivesTheSameResult()
    {
        QFETCH(QByteArray, raw);
        QFETCH(bool, closeDelimited);
        QStringList events[2];
        for (int pieces = 0; pieces < 2; ++pieces) {
            QHttp http;
            Recorder rec(&http);
            Sink out;
            HttpTestResponse s = pieces ? HttpTestResponse().sendInPieces(raw, 1, 1) : HttpTestResponse(raw);
            m_server->enqueue(closeDelimited ? s.close() : s);
            QVERIFY(runGet(http, &out));
            QCOMPARE(out.data(), QByteArray("0123456789abcdefghij"));
            QCOMPARE(rec.read.last().first, 20);
            QVERIFY(rec.read.size() > pieces); // it really came in pieces
            events[pieces] = rec.events;
        }
        QCOMPARE(events[1], events[0]);
    }

    void largeUploadIsStreamed()
    {
        const qint64 size = 8 * 1024 * 1024 + 123;
        PatternDevice body(size);
        QHttp http;
        Recorder rec(&http);
        m_server->enqueue(HttpTestServer::reply(200, "stored"));
        QSignalSpy done(&http, &QHttp::done);
        http.setHost(HttpTestServer::host(), m_server->port());
        http.request(post(QStringLiteral("/up")), &body);
        QVERIFY(done.wait(30000));
        QCOMPARE(done.first().first().toBool(), false);
        QCOMPARE(m_server->request(0).bodySize, size);
        QVERIFY(m_server->request(0).body == HttpTestServer::pattern(size));
        QVERIFY(body.largestRead <= 256 * 1024); // streamed in pieces, never read whole
        QVERIFY(rec.sent.size() > 2);
        for (int i = 1; i < rec.sent.size(); ++i) {
            QVERIFY(rec.sent.at(i).first > rec.sent.at(i - 1).first);
            QCOMPARE(rec.sent.at(i).second, int(size));
        }
        QCOMPARE(rec.sent.last().first, int(size));
    }

    void downloadIsWrittenAsItArrives()
    {
        const QByteArray body = HttpTestServer::pattern(500000);
        const QByteArray raw = HttpTestServer::reply(200, body);
        const int half = raw.size() - body.size() + 200000;
        m_server->enqueue(HttpTestResponse().send(raw.left(half)).waitForRelease().send(raw.mid(half)));
        QHttp http;
        Recorder rec(&http);
        Sink out;
        QSignalSpy done(&http, &QHttp::done);
        http.setHost(HttpTestServer::host(), m_server->port());
        http.request(get(), nullptr, &out);
        QTRY_COMPARE(out.data().size(), 200000);
        QCOMPARE(rec.read.last(), qMakePair(200000, body.size()));
        QCOMPARE(http.state(), QHttp::Reading);
        m_server->release();
        QVERIFY(done.wait());
        QVERIFY(out.data() == body);
        QCOMPARE(rec.read.last(), qMakePair(body.size(), body.size()));
    }

    void nullDestinationDropsTheBody()
    {
        m_server->enqueue(HttpTestServer::reply(200, HttpTestServer::pattern(100000)));
        m_server->enqueue(HttpTestServer::reply(200, "after"));
        QHttp http;
        Recorder rec(&http);
        QVERIFY(runGet(http, nullptr));
        QCOMPARE(http.lastResponse().statusCode(), 200);
        QCOMPARE(rec.read.last(), qMakePair(100000, 100000));
        Sink out;
        QVERIFY(runGet(http, &out)); // the connection was left clean
        QCOMPARE(out.data(), QByteArray("after"));
        QCOMPARE(m_server->connectionCount(), 1);
    }

    void failingDestination_data()
    {
        QTest::addColumn<bool>("shortWrite");
        QTest::newRow("write fails") << false;
        QTest::newRow("write short") << true;
    }
    void failingDestination()
    {
        QFETCH(bool, shortWrite);
        m_server->enqueue(HttpTestServer::reply(200, HttpTestServer::pattern(300000)));
        FailingDevice out(1000, shortWrite);
        QHttp http;
        QSignalSpy finished(&http, &QHttp::requestFinished);
        int id;
        QVERIFY(runGet(http, &out, &id));
        QCOMPARE(finished.last(), QVariantList({ id, true }));
        QCOMPARE(http.error(), QHttp::UnknownError);
        QCOMPARE(http.state(), QHttp::Unconnected);

        QBuffer readOnly;
        readOnly.open(QIODevice::ReadOnly);
        QVERIFY(runGet(http, &readOnly, &id));
        QCOMPARE(finished.last(), QVariantList({ id, true }));
        QCOMPARE(http.error(), QHttp::UnknownError);
    }

    void abortMidBody()
    {
        const QByteArray raw = HttpTestServer::reply(200, HttpTestServer::pattern(10000));
        m_server->enqueue(HttpTestResponse().send(raw.left(5000)).waitForRelease().send(raw.mid(5000)));
        QHttp http;
        Recorder rec(&http);
        Sink out;
        QSignalSpy progress(&http, &QHttp::dataReadProgress);
        http.setHost(HttpTestServer::host(), m_server->port());
        const int id = http.request(get(), nullptr, &out);
        const int queued = http.request(get());
        QVERIFY(progress.wait());
        rec.events.clear();
        http.abort();
        QCOMPARE(rec.events,
            QStringList({ "state 6", "state 0", QStringLiteral("finished %1 error").arg(id), "done error" }));
        QCOMPARE(http.error(), QHttp::Aborted);
        QVERIFY(!http.hasPendingRequests());
        QVERIFY(out.data().size() > 0);
        QTRY_COMPARE(m_server->openConnectionCount(), 0);
        m_server->release();
        // The queued request never starts: a later one runs in its place.
        m_server->enqueue(HttpTestServer::reply(200, "later"));
        QVERIFY(runGet(http, nullptr));
        QVERIFY(!rec.events.contains(QStringLiteral("started %1").arg(queued)));
        QCOMPARE(http.lastResponse().statusCode(), 200);
    }

    void abortFromSlots()
    {
        // abort() called from the client's own signals must leave it sane.
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "x")));
        QHttp http;
        Recorder rec(&http);
        QSignalSpy done(&http, &QHttp::done);
        int abortAtState = QHttp::Connecting;
        connect(&http, &QHttp::stateChanged, this, [&](int s) {
            if (s == abortAtState)
                http.abort();
        });
        http.setHost(HttpTestServer::host(), m_server->port());
        const int id = http.request(get());
        QVERIFY(done.wait());
        QCOMPARE(rec.only("finished"),
            QStringList({ "finished 1 ok", QStringLiteral("finished %1 error").arg(id) }));
        QCOMPARE(http.error(), QHttp::Aborted);

        abortAtState = -1;
        connect(&http, &QHttp::requestFinished, &http, [&](int) { http.abort(); });
        rec.events.clear();
        http.request(get());
        http.request(get());
        QVERIFY(done.wait());
        QCOMPARE(rec.only("finished").size(), 1);
        QCOMPARE(rec.only("done"), QStringList({ "done error" }));
        QCOMPARE(http.state(), QHttp::Unconnected);
    }

    void deletedMidTransferEmitsNothing()
    {
        const QByteArray raw = HttpTestServer::reply(200, HttpTestServer::pattern(10000));
        m_server->enqueue(HttpTestResponse().send(raw.left(3000)).waitForRelease().send(raw.mid(3000)));
        QPointer<QHttp> http = new QHttp;
        int signalsAfterDelete = 0;
        Sink out;
        http->setHost(HttpTestServer::host(), m_server->port());
        http->request(get(), nullptr, &out);
        QSignalSpy progress(http.data(), &QHttp::dataReadProgress);
        QVERIFY(progress.wait());
        connect(http.data(), &QHttp::stateChanged, this, [&] { ++signalsAfterDelete; });
        connect(http.data(), &QHttp::requestFinished, this, [&] { ++signalsAfterDelete; });
        connect(http.data(), &QHttp::done, this, [&] { ++signalsAfterDelete; });
        http->deleteLater();
        QTRY_VERIFY(http.isNull());
        QTRY_COMPARE(m_server->openConnectionCount(), 0);
        m_server->release();
        QCOMPARE(signalsAfterDelete, 0);
    }
};

QTEST_GUILESS_MAIN(TestQHttp)
#include "tst_qhttp.moc"
