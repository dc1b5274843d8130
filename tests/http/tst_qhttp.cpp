// The socket HTTP client against the scriptable test server over loopback.
// The parser's own tests try every cut and split; these prove the client.
#include <QBuffer>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>

#include "httptestserver.h"
#include "qhttp.h"

namespace {

// The states and ends a client reports, in order, as text.
class Recorder : public QObject
{
public:
    explicit Recorder(QHttp *http)
    {
        auto add = [this](const QString &e) { events << e; };
        connect(http, &QHttp::stateChanged, this, [=](int s) { add(QStringLiteral("state %1").arg(s)); });
        connect(http, &QHttp::requestFinished, this,
            [=](int id, bool e) { add(QStringLiteral("finished %1 %2").arg(id).arg(e ? "error" : "ok")); });
    }
    QStringList only(const char *kind) const { return events.filter(QLatin1String(kind)); }
    QString lastState() const { return only("state").value(only("state").size() - 1); }
    QStringList events;
};

// Waits until a requestFinished that `finished` records names request `id`.
bool waitForFinished(QSignalSpy &finished, int id, int timeout = 10000)
{
    const QDeadlineTimer deadline(timeout);
    while (std::none_of(finished.begin(), finished.end(),
        [id](const QVariantList &args) { return args.at(0).toInt() == id; })) {
        if (!finished.wait(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
    }
    return true;
}

QHttpRequestHeader get()
{
    QHttpRequestHeader h(QStringLiteral("GET"), QStringLiteral("/"));
    h.setValue(QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
    return h;
}

QHttpRequestHeader post()
{
    return QHttpRequestHeader(QStringLiteral("POST"), QStringLiteral("/up"));
}

struct Sink : QBuffer
{
    Sink() { open(QIODevice::WriteOnly); }
};

// Makes its bytes up as they are read: random-access, or once front to back
// like a pipe's, whose reads fail at its end.
struct PatternDevice : QIODevice
{
    PatternDevice(qint64 size, bool sequential = false)
        : m_size(size)
        , m_sequential(sequential)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return m_sequential; }
    qint64 size() const override { return m_size; }
    qint64 bytesAvailable() const override { return m_size - m_at + QIODevice::bytesAvailable(); }
    qint64 readData(char *data, qint64 maxSize) override
    {
        m_at = m_sequential ? m_at : pos();
        const qint64 n = qMin(maxSize, m_size - m_at);
        if (n == 0 && m_sequential)
            return -1;
        memcpy(data, HttpTestServer::pattern(n, m_at).constData(), size_t(n));
        m_at += n;
        largestRead = qMax(largestRead, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
    const qint64 m_size;
    const bool m_sequential;
    qint64 m_at = 0, largestRead = 0;
};

// A destination that takes 1000 bytes, then writes nothing: a short write.
struct FullDevice : QBuffer
{
    qint64 room = 1000;
    qint64 writeData(const char *data, qint64 n) override
    {
        const qint64 take = qMin(room, n);
        room -= take;
        return take > 0 ? QBuffer::writeData(data, take) : 0;
    }
};

} // namespace

class TestQHttp : public QObject
{
    Q_OBJECT

private:
    HttpTestServer *m_server = nullptr;

    void setHost(QHttp &http, quint16 port = 0)
    {
        http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, port ? port : m_server->port());
    }

    // Runs one request against the server (or another port) and waits for
    // its end: "ok", "error", or "timeout".
    QString run(QHttp &http, const QHttpRequestHeader &h, QIODevice *body = nullptr, QIODevice *to = nullptr,
        quint16 port = 0, int timeout = 10000)
    {
        QSignalSpy finished(&http, &QHttp::requestFinished);
        setHost(http, port);
        const int id = http.request(h, body, to);
        if (!waitForFinished(finished, id, timeout))
            return QStringLiteral("timeout");
        return finished.last().at(1).toBool() ? QStringLiteral("error") : QStringLiteral("ok");
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

    // Ids in call order and every signal in order; the destination is still
    // current while its request finishes. The transfers rely on all three.
    void idsOrderAndStates()
    {
        QHttp http;
        Recorder rec(&http);
        m_server->enqueue(HttpTestServer::reply(200, "hello"));
        Sink out;
        QIODevice *seen = nullptr;
        connect(&http, &QHttp::requestFinished, this, [&](int id) {
            if (id == 2)
                seen = http.currentDestinationDevice();
        });
        QSignalSpy finished(&http, &QHttp::requestFinished);
        QCOMPARE(http.setHost(HttpTestServer::host(), QHttp::ConnectionModeHttp, m_server->port()), 1);
        QCOMPARE(http.request(get(), nullptr, &out), 2);
        QCOMPARE(http.setProxy(QString(), 0), 3); // an empty host turns the proxy off
        QVERIFY(rec.events.isEmpty()); // nothing before the event loop runs
        QVERIFY(waitForFinished(finished, 3));
        QCOMPARE(rec.events,
            QStringList({ "finished 1 ok", "state 1", "state 2", "state 3", "state 4", "state 5",
                "finished 2 ok", "finished 3 ok" }));
        QCOMPARE(out.data(), QByteArray("hello"));
        QCOMPARE(seen, &out);
    }

    // An MMSC may refuse a message before it has read all of it.
    void earlyAnswerWhileTheBodyIsStillGoing()
    {
        m_server->enqueue(HttpTestResponse(HttpTestServer::reply(413, "too big")).beforeBody());
        m_server->enqueue(HttpTestServer::reply(200, "next"));
        PatternDevice body(16 * 1024 * 1024);
        QHttp http;
        Sink out;
        QCOMPARE(run(http, post(), &body, &out), QStringLiteral("ok"));
        QCOMPARE(http.lastResponse().statusCode(), 413);
        QCOMPARE(out.data(), QByteArray("too big"));
        // Half a request went out: the connection cannot carry another.
        QCOMPARE(run(http, get(), nullptr, &out), QStringLiteral("ok"));
        QCOMPARE(out.data(), QByteArray("too bignext"));
        QCOMPARE(m_server->connectionCount(), 2);
    }

    // Requests share one connection, also when a body goes nowhere (no
    // destination); another server means another connection.
    void keepAliveReuse()
    {
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::chunkedReply(200, "ok", 1)));
        QHttp http;
        QSignalSpy finished(&http, &QHttp::requestFinished);
        Sink out;
        setHost(http);
        int id = 0;
        for (int i = 0; i < 200; ++i)
            id = http.request(get(), nullptr, i % 2 ? &out : nullptr);
        QVERIFY(waitForFinished(finished, id));
        QCOMPARE(out.data(), QByteArray("ok").repeated(100));
        QCOMPARE(m_server->connectionCount(), 1);

        HttpTestServer other;
        QVERIFY(other.listen());
        other.enqueue(HttpTestServer::reply(200, "three"));
        QCOMPARE(run(http, get(), nullptr, &out, other.port()), QStringLiteral("ok"));
        QVERIFY(out.data().endsWith("three"));
        QCOMPARE(m_server->requestCount(), 200);
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
            QCOMPARE(run(http, get()), QStringLiteral("ok"));
        }
        m_server->enqueue(HttpTestResponse(beforeClose).close());
        m_server->enqueue(HttpTestServer::reply(200, "second"));
        const QByteArray payload = HttpTestServer::pattern(200000);
        PatternDevice body(payload.size(), sequentialBody);
        Sink out;
        const bool retried = requests == 3;
        QCOMPARE(run(http, post(), &body, &out), retried ? QStringLiteral("ok") : QStringLiteral("error"));
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
        QCOMPARE(run(http, get()), QStringLiteral("error"));
        QCOMPARE(http.error(), QHttp::UnexpectedClose);
        QCOMPARE(m_server->requestCount(), 5);
    }

    // An error ends its own request only: the queued ones still run, on a new
    // connection when the broken one cannot carry them.
    void errorEndsOnlyItsOwnRequest()
    {
        m_server->enqueue(HttpTestResponse("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc").close());
        m_server->enqueue(HttpTestServer::reply(401, "who?"));
        m_server->enqueue(HttpTestServer::reply(200, "fine"));
        QHttp http;
        Recorder rec(&http);
        QVariantList seen;
        connect(&http, &QHttp::requestFinished, this, [&](int, bool error) {
            if (error)
                seen << int(http.error()) << http.lastResponse().statusCode();
        });
        QSignalSpy finished(&http, &QHttp::requestFinished);
        Sink out;
        setHost(http);
        int id = 0;
        for (int i = 0; i < 3; ++i)
            id = http.request(get(), nullptr, &out);
        QVERIFY(waitForFinished(finished, id));
        QCOMPARE(seen,
            QVariantList(
                { int(QHttp::WrongContentLength), 200, int(QHttp::AuthenticationRequiredError), 401 }));
        QCOMPARE(rec.only("finished"),
            QStringList({ "finished 1 ok", "finished 2 error", "finished 3 error", "finished 4 ok" }));
        QCOMPARE(out.data(), QByteArray("abcwho?fine"));
        QCOMPARE(m_server->connectionCount(), 2); // the 401 left its connection usable
    }

    // 8 MiB go out in pieces, byte for byte, with the body's own length
    // whatever the header says, and with rising progress.
    void largeUploadIsStreamed()
    {
        const qint64 size = 8 * 1024 * 1024 + 123;
        PatternDevice body(size);
        QHttp http;
        QSignalSpy progress(&http, &QHttp::dataSendProgress);
        m_server->enqueue(HttpTestServer::reply(200, "stored"));
        QHttpRequestHeader h = post();
        h.setValue(QStringLiteral("Content-Length"), QStringLiteral("99"));
        QCOMPARE(run(http, h, &body, nullptr, 0, 30000), QStringLiteral("ok"));
        QCOMPARE(m_server->request(0).header("content-length"), QByteArray::number(size));
        QVERIFY(m_server->request(0).body == HttpTestServer::pattern(size));
        QVERIFY(body.largestRead <= 256 * 1024); // never read whole
        QVERIFY(progress.size() > 2);
        for (int i = 0; i < progress.size(); ++i) {
            QCOMPARE(progress.at(i).at(1).toInt(), int(size));
            QVERIFY(i == 0 || progress.at(i).at(0).toInt() > progress.at(i - 1).at(0).toInt());
        }
        QCOMPARE(progress.last().at(0).toInt(), int(size));
    }

    // A destination that takes fewer bytes than given fails the request: what
    // it did not store was not delivered. (A failing write takes the same check.)
    void failingDestination()
    {
        m_server->enqueue(HttpTestServer::reply(200, HttpTestServer::pattern(300000)));
        FullDevice out;
        out.open(QIODevice::WriteOnly);
        QHttp http;
        Recorder rec(&http);
        QCOMPARE(run(http, get(), nullptr, &out), QStringLiteral("error"));
        QCOMPARE(http.error(), QHttp::UnknownError);
        QCOMPARE(rec.lastState(), QStringLiteral("state 0"));
    }

    // Stopped mid-body by abort() or by deleting the client: the connection
    // goes at once. abort() ends the request once and drops the queue; a
    // deleted client says nothing more.
    void stopMidBody_data()
    {
        QTest::addColumn<bool>("deleted");
        QTest::newRow("abort") << false;
        QTest::newRow("delete") << true;
    }
    void stopMidBody()
    {
        QFETCH(bool, deleted);
        const QByteArray raw = HttpTestServer::reply(200, HttpTestServer::pattern(10000));
        m_server->enqueue(HttpTestResponse().send(raw.left(5000)).waitForRelease().send(raw.mid(5000)));
        QPointer<QHttp> http = new QHttp(this);
        Recorder rec(http);
        Sink out;
        QSignalSpy progress(http.data(), &QHttp::dataReadProgress);
        setHost(*http);
        const int id = http->request(get(), nullptr, &out);
        const int queued = http->request(get());
        QVERIFY(progress.wait());
        rec.events.clear();
        if (deleted)
            http->deleteLater();
        else
            http->abort();
        QTRY_COMPARE(m_server->openConnectionCount(), 0);
        m_server->release();
        if (deleted) {
            QVERIFY(http.isNull());
            QCOMPARE(rec.events, QStringList());
            return;
        }
        QCOMPARE(
            rec.events, QStringList({ "state 6", "state 0", QStringLiteral("finished %1 error").arg(id) }));
        QCOMPARE(http->error(), QHttp::Aborted);
        // The queued request never runs: a later one runs in its place.
        m_server->enqueue(HttpTestServer::reply(200, "later"));
        QCOMPARE(run(*http, get()), QStringLiteral("ok"));
        QVERIFY(rec.only(qPrintable(QStringLiteral("finished %1 ").arg(queued))).isEmpty());
        QCOMPARE(http->lastResponse().statusCode(), 200);
    }

    // abort() from the client's own signals leaves it sane.
    void abortFromSlots()
    {
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "x")));
        QHttp http;
        Recorder rec(&http);
        QSignalSpy finished(&http, &QHttp::requestFinished);
        int abortAtState = QHttp::Connecting;
        connect(&http, &QHttp::stateChanged, this, [&](int s) {
            if (s == abortAtState)
                http.abort();
        });
        setHost(http);
        const int id = http.request(get());
        QVERIFY(waitForFinished(finished, id));
        QCOMPARE(rec.only("finished"),
            QStringList({ "finished 1 ok", QStringLiteral("finished %1 error").arg(id) }));
        QCOMPARE(http.error(), QHttp::Aborted);

        // Aborted as the first of two ends: the second never runs.
        abortAtState = -1;
        connect(&http, &QHttp::requestFinished, &http, [&](int) { http.abort(); });
        rec.events.clear();
        const int first = http.request(get());
        http.request(get());
        QVERIFY(waitForFinished(finished, first));
        QTRY_COMPARE(rec.lastState(), QStringLiteral("state 0"));
        QCOMPARE(rec.only("finished").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestQHttp)
#include "tst_qhttp.moc"
