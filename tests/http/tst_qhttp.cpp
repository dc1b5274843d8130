// The socket HTTP client against the scriptable test server over loopback;
// response framing itself is tst_httpresponseparser's.
#include <QBuffer>
#include <QMetaEnum>
#include <QSignalSpy>
#include <QtTest>

#include "httptestserver.h"
#include "qhttp.h"

namespace {

// The states and ends a client reports, in order, as text; an end says its
// error and the status of the last response.
struct Recorder : QObject
{
    explicit Recorder(QHttp *http)
    {
        connect(
            http, &QHttp::stateChanged, this, [this](int s) { events << QStringLiteral("state %1").arg(s); });
        connect(http, &QHttp::requestFinished, this, [this, http](int id, bool error) {
            ended[id] = QStringLiteral("%1 %2")
                            .arg(error ? QMetaEnum::fromType<QHttp::Error>().valueToKey(http->error()) : "ok")
                            .arg(http->lastResponse().statusCode());
            events << QStringLiteral("finished %1 %2").arg(id).arg(ended[id]);
        });
    }
    QString waitFor(int id)
    {
        return QTest::qWaitFor([&] { return ended.contains(id); }, 30000) ? ended[id]
                                                                          : QStringLiteral("timeout");
    }
    QStringList events;
    QMap<int, QString> ended;
};

QHttpRequestHeader request(const char *method = "GET")
{
    return QHttpRequestHeader(QString::fromLatin1(method), QStringLiteral("/"));
}

struct Sink : QBuffer
{
    Sink() { open(QIODevice::WriteOnly); }
};

// A destination that takes 1000 bytes, then writes nothing: a short write.
struct FullDevice : Sink
{
    qint64 writeData(const char *data, qint64 n) override
    {
        return QBuffer::writeData(data, qBound<qint64>(0, 1000 - size(), n));
    }
};

// A request body, random-access or, like a pipe's, read once front to back
// with reads failing at its end.
struct Body : QIODevice
{
    Body(qint64 size, bool sequential = false)
        : bytes(HttpTestServer::pattern(size))
        , sequential(sequential)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return sequential; }
    qint64 size() const override { return bytes.size(); }
    qint64 readData(char *data, qint64 max) override
    {
        at = sequential ? at : pos();
        const qint64 n = qMin(max, bytes.size() - at);
        memcpy(data, bytes.constData() + at, size_t(n));
        at += n;
        largestRead = qMax(largestRead, n);
        return n == 0 && sequential ? -1 : n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
    const QByteArray bytes;
    const bool sequential;
    qint64 at = 0, largestRead = 0;
};

} // namespace

class TestQHttp : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HttpTestServer> m_server;

    // Runs one request against the server (or another port) and waits for its end.
    QString run(QHttp &http, const QHttpRequestHeader &h, QIODevice *body = nullptr, QIODevice *to = nullptr,
        quint16 port = 0)
    {
        Recorder rec(&http);
        http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, port ? port : m_server->port());
        return rec.waitFor(http.request(h, body, to));
    }

private Q_SLOTS:
    void init()
    {
        m_server.reset(new HttpTestServer);
        QVERIFY(m_server->listen());
    }
    void cleanup() { m_server.reset(); }

    // Ids in call order, every signal in order, the destination still current
    // as its request ends. An error ends its own request only: the queue goes
    // on, on a new connection where the old one cannot carry it. An idle
    // connection is reused (also after a body that had nowhere to go), never
    // for another server. When the server had dropped it, a request goes once
    // more on a new one, body and all; not twice, nor once the answer began,
    // nor when it was new. An MMSC may refuse a message before it has read all
    // of it: half a request went out, the connection cannot carry another.
    void queue()
    {
        Sink out;
        FullDevice full;
        Body body(200000), pipe(200000, true), refused(16 * 1024 * 1024);
        using R = HttpTestResponse;
        const R dropped = R().close();
        auto ok = [](const QByteArray &body) { return R(HttpTestServer::reply(200, body)); };
        // Each request, the server's answers to it (two when it goes again), what the client says.
        const struct
        {
            const char *method;
            QIODevice *data, *to;
            QList<R> answers;
            const char *result;
        } requests[] = {
            { "GET", nullptr, &out, { R(HttpTestServer::chunkedReply(200, "hello", 1)) }, "ok 200" },
            { "GET", nullptr, nullptr, { ok("nowhere") }, "ok 200" },
            { "GET", nullptr, &out, { R(HttpTestServer::reply(401, "who?")) },
                "AuthenticationRequiredError 401" },
            { "GET", nullptr, &out, { R("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc").close() },
                "WrongContentLength 200" },
            { "GET", nullptr, &full, { ok(HttpTestServer::pattern(3000)) }, "UnknownError 200" },
            { "POST", &refused, &out, { R(HttpTestServer::reply(413, "too big")).beforeBody() }, "ok 413" },
            { "GET", nullptr, &out, { ok("fine") }, "ok 200" },
            { "POST", &body, &out, { dropped, ok("retried") }, "ok 200" },
            { "GET", nullptr, &out, { dropped, dropped }, "UnexpectedClose 0" },
            { "GET", nullptr, &out, { ok("a") }, "ok 200" },
            { "GET", nullptr, &out, { R("HTTP/1.1 200 OK\r\n").close() }, "UnexpectedClose 0" },
            { "GET", nullptr, &out, { dropped }, "UnexpectedClose 0" },
            { "GET", nullptr, &out, { ok("b") }, "ok 200" },
            { "POST", &pipe, &out, { dropped, ok("piped") }, "ok 200" },
        };
        QHttp http;
        Recorder rec(&http);
        QList<QIODevice *> seen, destinations = { nullptr };
        QStringList results = { "ok 0" };
        connect(&http, &QHttp::requestFinished, this, [&] { seen << http.currentDestinationDevice(); });
        QCOMPARE(http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, m_server->port()), 1);
        for (const auto &r : requests) {
            for (const R &answer : r.answers)
                m_server->enqueue(answer);
            QCOMPARE(http.request(request(r.method), r.data, r.to), results.size() + 1);
            results << QString::fromLatin1(r.result);
            destinations << r.to;
        }
        QCOMPARE(http.setProxy(QString(), 0), results.size() + 1); // an empty host turns the proxy off
        results << QStringLiteral("ok 200");
        destinations << nullptr;
        QVERIFY(rec.events.isEmpty()); // nothing before the event loop runs
        QCOMPARE(rec.waitFor(results.size()), QStringLiteral("ok 200"));
        QCOMPARE(rec.events.mid(0, 7),
            QStringList({ "finished 1 ok 0", "state 1", "state 2", "state 3", "state 4", "state 5",
                "finished 2 ok 200" }));
        QCOMPARE(rec.ended.values(), results);
        QCOMPARE(seen, destinations);
        QCOMPARE(out.data(), QByteArray("hellowho?abctoo bigfineretriedabpiped"));
        QCOMPARE(m_server->connectionCount(), 10);
        int posts = 0;
        for (const HttpTestRequest &r : m_server->requests())
            posts += r.method == "POST" && r.body == body.bytes;
        QCOMPARE(posts, 4);

        HttpTestServer other;
        QVERIFY(other.listen());
        other.enqueue(HttpTestServer::reply(200, "there"));
        QCOMPARE(run(http, request(), nullptr, &out, other.port()), QStringLiteral("ok 200"));
        QCOMPARE(other.requestCount(), 1);
    }

    // A body goes out in pieces, byte for byte, with its own length whatever
    // the header says, and with rising progress.
    void upload()
    {
        const qint64 size = 8 * 1024 * 1024 + 123;
        m_server->enqueue(HttpTestServer::reply(200, "stored"));
        Body body(size);
        QHttp http;
        QSignalSpy progress(&http, &QHttp::dataSendProgress);
        QHttpRequestHeader h = request("POST");
        h.setValue(QStringLiteral("Content-Length"), QStringLiteral("99"));
        QCOMPARE(run(http, h, &body), QStringLiteral("ok 200"));
        const HttpTestRequest stored = m_server->request(0);
        QCOMPARE(stored.header("content-length"), QByteArray::number(size));
        QVERIFY(stored.body == body.bytes);
        QVERIFY(body.largestRead <= 256 * 1024); // never read whole
        QVERIFY(progress.size() > 2);
        for (int i = 0; i < progress.size(); ++i)
            QVERIFY(progress.at(i).at(1).toInt() == int(size)
                && (i == 0 || progress.at(i).at(0).toInt() > progress.at(i - 1).at(0).toInt()));
        QCOMPARE(progress.last().at(0).toInt(), int(size));
    }

    // abort() ends the current request once (wherever it is, also from the
    // client's own signals), closes the connection at once and drops the
    // queue, and the client works again.
    void abort_data()
    {
        QTest::addColumn<int>("at"); // a state to abort in, or -1: mid-body, -2: as the first request ends
        QTest::addColumn<QStringList>("after"); // what the client says from then on
        const QStringList closed = { "abort", "state 6", "state 0" };
        QTest::newRow("mid-body") << -1 << closed + QStringList("finished 2 Aborted 200");
        QTest::newRow("connecting") << int(QHttp::Connecting)
                                    << QStringList({ "abort", "state 0", "finished 2 Aborted 0" });
        QTest::newRow("as the request ends") << -2 << closed;
    }
    void abort()
    {
        QFETCH(int, at);
        QFETCH(QStringList, after);
        const QByteArray raw = HttpTestServer::reply(200, HttpTestServer::pattern(10000));
        if (at == -1)
            m_server->enqueue(HttpTestResponse().send(raw.left(5000)).waitForRelease().send(raw.mid(5000)));
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "later")));
        QHttp http;
        Recorder rec(&http);
        Sink out;
        int id = 0;
        auto abort = [&](bool now) {
            if (now && !rec.events.contains("abort")) {
                rec.events = QStringList("abort");
                http.abort();
            }
        };
        connect(&http, &QHttp::dataReadProgress, this, [&] { abort(at == -1); });
        connect(&http, &QHttp::stateChanged, this, [&](int s) { abort(s == at); });
        connect(&http, &QHttp::requestFinished, this, [&](int i) { abort(at == -2 && i == id); });
        http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, m_server->port());
        id = http.request(request(), nullptr, &out);
        const int queued = http.request(request());
        QTRY_COMPARE(rec.events, after);
        QVERIFY(m_server->waitForOpenConnections(0));
        m_server->release();
        QCOMPARE(rec.events, after);
        QCOMPARE(run(http, request()), QStringLiteral("ok 200"));
        QVERIFY(!rec.ended.contains(queued));
    }
};

QTEST_GUILESS_MAIN(TestQHttp)
#include "tst_qhttp.moc"
