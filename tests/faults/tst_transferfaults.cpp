// Every transfer variant against a failing server or proxy: one end, never a
// success without the whole answer, the device holding a prefix of the body.
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "httptestserver.h"
#include "qhttp.h"
#include "tinyproxyprocess.h"
#include "transfer.h"

namespace {
const QByteArray Body = HttpTestServer::pattern(20000);
const QString Mmsc = QStringLiteral("http://mmsc.invalid:8002/mms"); // reachable only through a proxy

// Each kind, direct and through a proxy, with `tag`.
void addKindRoutes(const std::function<void(QTestData &)> &rest, const QByteArray &tag = "")
{
    for (const auto &k : Kinds)
        for (bool viaProxy : { false, true })
            rest(kindRow(k, (viaProxy ? "proxy " : "direct ") + tag) << viaProxy);
}

// The port as "mmscPort" for a sender, a PDU of 3000 bytes.
void start(Transfer &t, const QString &url, QIODevice *out)
{
    t.start(url, QUrl(url).port(80), out, HttpTestServer::pattern(3000));
}
} // namespace

class tst_TransferFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path())); // no settings file: built-in identity
    }

    // The server (or proxy) closes at each phase; the manager's retries meet
    // the same fault.
    void cutAtEachPhase_data()
    {
        addKindColumns();
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<qint64>("cutAt"); // -1: the whole script, then close
        QTest::addColumn<int>("socketCode"); // of the socket variants; 0: success
        const QByteArray length = HttpTestServer::reply(200, Body);
        const int head = length.indexOf("\r\n\r\n") + 4;
        const QByteArray chunked = HttpTestServer::chunkedReply(200, Body, 4096);
        const struct
        {
            const char *phase;
            QByteArray script;
            qint64 cutAt;
            int socketCode;
        } phases[] = {
            { "whole answer", length, -1, 0 },
            { "closed before answering", QByteArray(), 0, QHttp::UnexpectedClose },
            { "closed in the status line", length, 7, QHttp::UnexpectedClose },
            { "closed in the header", length, head - 3, QHttp::UnexpectedClose },
            { "closed after the header", length, head, QHttp::WrongContentLength },
            { "closed one byte short", length, length.size() - 1, QHttp::WrongContentLength },
            { "chunked, closed in a chunk", chunked, chunked.indexOf("\r\n\r\n") + 5000,
                QHttp::WrongContentLength },
            { "chunked, closed before the last chunk", chunked, chunked.size() - 5,
                QHttp::WrongContentLength },
        };
        for (const auto &p : phases)
            addKindRoutes([&](QTestData &row) { row << p.script << p.cutAt << p.socketCode; }, p.phase);
    }

    void cutAtEachPhase()
    {
        FETCH_TRANSFER(t);
        QFETCH(bool, viaProxy);
        QFETCH(QByteArray, script);
        QFETCH(qint64, cutAt);
        QFETCH(int, socketCode);
        HttpTestServer server;
        QVERIFY(server.listen());
        HttpTestResponse response(script);
        server.setDefaultResponse(cutAt >= 0 ? response.closeAfter(cutAt) : response.close());
        if (viaProxy)
            t.setProxy(HttpTestServer::host(), server.port());
        Device out;
        start(t, viaProxy ? Mmsc : server.url(QStringLiteral("/mms")), &out);
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);

        QVERIFY(nm ? server.requestCount() >= 1 : server.requestCount() == 1);
        if (viaProxy)
            QVERIFY(server.request(0).target.startsWith(Mmsc.toLatin1()));
        if (send)
            QCOMPARE(server.request(0).body, HttpTestServer::pattern(3000));
        if (socketCode == 0) {
            QCOMPARE(t.code(), 200);
            QCOMPARE(out.data(), Body);
        } else {
            QVERIFY2(t.code() != 200, "a cut-off answer reported as delivered");
            if (!nm)
                QCOMPARE(t.code(), socketCode);
            QVERIFY(Body.startsWith(out.data())); // all of it, when only the last chunk is missing
        }
        // Nothing more after the end, also not once the server is gone.
        server.closeAllConnections();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 1);
    }

    // Answers made to break a client, from the server or from the proxy
    // itself, against the manager's variants (the socket client's parser has
    // tests of its own). The connection stays open, so only the client can end the
    // transfer: once, with an error, nothing of the answer in the device,
    // nothing reported after the end.
    void hostileAnswer_data()
    {
        addKindColumns();
        QTest::addColumn<QString>("route");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray endless(100 * 1024, 'a');
        const QByteArray deflated = qCompress(QByteArray(200000, '\0')).mid(4); // a zlib stream
        const int broken = QNetworkReply::ProtocolFailure;
        const struct
        {
            const char *name;
            QByteArray answer;
            int code;
            bool tinyproxy; // also behind a real proxy (which holds back an unfinished head)
            QByteArray stored;
        } rows[] = {
            // MMS PDUs are never content-coded: the bytes as sent, not 200 kB of zeros.
            { "coded body kept as sent",
                ok + "Content-Encoding: deflate\r\nContent-Length: " + QByteArray::number(deflated.size())
                    + "\r\n\r\n" + deflated,
                200, true, deflated },
            { "endless header block", ok + QByteArray("X-Pad: aaaaaaaaaaaaaaaa\r\n").repeated(4000), broken,
                false, QByteArray() },
            { "endless chunk extension", ok + "Transfer-Encoding: chunked\r\n\r\n5;" + endless, broken, true,
                QByteArray() },
            { "conflicting Content-Length", ok + "Content-Length: 5\r\nContent-Length: 10\r\n\r\nhello",
                broken, false, QByteArray() },
            { "overflowing Content-Length", ok + "Content-Length: 99999999999999999999999\r\n\r\nhello",
                broken, false, QByteArray() },
            { "NUL in the head", ok + QByteArray("X-A: a\0b\r\nContent-Length: 5\r\n\r\nhello", 37), broken,
                false, QByteArray() },
            { "overflowing chunk size",
                ok + "Transfer-Encoding: chunked\r\n\r\n10000000000000005\r\nhello\r\n", broken, false,
                QByteArray() },
        };
        for (const auto &r : rows)
            for (bool send : { true, false })
                for (const char *route : { "direct", "proxy", "tinyproxy" })
                    if (qstrcmp(route, "tinyproxy") != 0 || r.tinyproxy)
                        QTest::addRow("Mms%sNM %s %s", send ? "Sender" : "Receiver", route, r.name)
                            << send << true << QString::fromLatin1(route) << r.answer << r.code << r.stored;
    }

    void hostileAnswer()
    {
        FETCH_TRANSFER(t);
        QFETCH(QString, route);
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        HttpTestServer server;
        QVERIFY(server.listen());
        server.setDefaultResponse(HttpTestResponse(answer).waitForRelease());
        TinyproxyProcess tinyproxy;
        QString url = server.url(QStringLiteral("/mms"));
        if (route == QLatin1String("proxy")) {
            t.setProxy(HttpTestServer::host(), server.port());
            url = Mmsc;
        } else if (route == QLatin1String("tinyproxy")) {
            QVERIFY2(tinyproxy.start(), qPrintable(tinyproxy.errorString()));
            t.setProxy(HttpTestServer::host(), tinyproxy.port());
        }
        Device out;
        start(t, url, &out);
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);
        QCOMPARE(t.code(), code);
        QCOMPARE(out.data(), stored);
        QCOMPARE(server.request(0).header("Accept-Encoding"), QByteArray("identity"));
        server.release();
        server.closeAllConnections();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.progress.count(), t.progressAtEnd);
    }

    // Nobody listening at the server or the proxy, or a proxy refusing the
    // request: a failure, never success.
    void refused_data()
    {
        addKindColumns();
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<int>("status"); // the proxy's answer; 0: nobody listens
        addKindRoutes([](QTestData &row) { row << 0; }, "nobody listening");
        for (const auto &k : Kinds)
            for (int status : { 407, 502 }) // the one the client handles itself, and any other
                kindRow(k, "proxy answers " + QByteArray::number(status)) << true << status;
    }

    void refused()
    {
        FETCH_TRANSFER(t);
        QFETCH(bool, viaProxy);
        QFETCH(int, status);
        HttpTestServer proxy;
        QTcpServer probe; // a port nobody listens on once the probe is gone
        QVERIFY(status ? proxy.listen() : probe.listen(QHostAddress::LocalHost));
        const quint16 port = status ? proxy.port() : probe.serverPort();
        probe.close();
        const QList<QByteArray> fields = { "Proxy-Authenticate: Basic realm=\"operator\"" };
        proxy.setDefaultResponse(HttpTestResponse(
            HttpTestServer::reply(status, "refused by proxy", status == 407 ? fields : QList<QByteArray>())));
        if (viaProxy)
            t.setProxy(QStringLiteral("127.0.0.1"), port);
        Device out;
        start(t, viaProxy ? Mmsc : QStringLiteral("http://127.0.0.1:%1/mms").arg(port), &out);
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);
        QVERIFY(t.code() != 200 && t.code() != 0);
        if (!status)
            QCOMPARE(
                t.code(), nm ? int(QNetworkReply::ConnectionRefusedError) : int(QHttp::ConnectionRefused));
        else if (!nm)
            QCOMPARE(t.code(), status == 407 ? int(QHttp::ProxyAuthenticationRequiredError) : status);
        QVERIFY(status ? proxy.requestCount() >= 1 : out.data().isEmpty());
    }

    void deviceClosedMidTransfer_data() { addKinds(); }

    // The caller closes its device while the answer comes in.
    void deviceClosedMidTransfer()
    {
        FETCH_TRANSFER(t);
        HttpTestServer server;
        QVERIFY(server.listen());
        const QByteArray whole = HttpTestServer::reply(200, Body);
        const int firstPart = whole.indexOf("\r\n\r\n") + 4 + 1000;
        server.enqueue(
            HttpTestResponse().send(whole.left(firstPart)).waitForRelease().send(whole.mid(firstPart)));
        Device out;
        start(t, server.url(QStringLiteral("/mms")), &out);
        QVERIFY(server.waitForRequests(1, 20000));
        // The socket variants write the body as it arrives, the manager at the end.
        if (!nm)
            QTRY_VERIFY_WITH_TIMEOUT(out.data().size() > 0, 20000);
        out.close();
        server.release();
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);
        QCOMPARE(t.code(), nm ? int(QNetworkReply::UnknownContentError) : int(QHttp::UnknownError));
        QVERIFY(Body.startsWith(out.data()));
    }
};

QTEST_GUILESS_MAIN(tst_TransferFaults)
#include "tst_transferfaults.moc"
