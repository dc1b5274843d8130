// MmsReceiver over the socket HTTP client against the shared test server and
// a real forward proxy: the GET byte for byte, the body streamed into the
// device, outcome codes, abort, and the debug lines.
#include <QBuffer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmsreceiver.h"
#include "tinyproxyprocess.h"
#include "transfertest.h"

namespace {
const QByteArray s_ua = "Phone/2.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P2.xml";
const QByteArray s_identity = "User-Agent: " + s_ua + "\r\nx-wap-profile: " + s_profile + "\r\n";

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;
    HttpTestServer *m_server = nullptr;

    QString url(const QString &path, const QString &scheme = QStringLiteral("http")) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(m_server->port()).arg(path);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_home.setUp()); }

    void init()
    {
        QVERIFY(m_home.setIdentity(s_ua, s_profile));
        m_server = new HttpTestServer(this);
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        delete m_server;
        m_server = nullptr;
    }

    void metaObjectAndProperties()
    {
        MmsReceiver r;
        QCOMPARE(r.metaObject()->className(), "MmsReceiver");
        QCOMPARE(r.metaObject()->superClass(), &MmsReceiverBase::staticMetaObject);
        QCOMPARE(ownMethods(&MmsReceiver::staticMetaObject),
            QStringList({ "httpRequestFinished(int,bool):requestId error",
                "httpDataReceiveProgress(int,int):done total", "httpConnectionState(int):state" }));
        QVERIFY(r.inherits("MmsReceiverBase"));
        QCOMPARE(r.proxy(), QString());
        QVERIFY(r.setProperty("proxy", QStringLiteral("proxy.example")));
        r.setProxyPort(8080);
        QCOMPARE(r.proxy(), QStringLiteral("proxy.example"));
        QCOMPARE(r.property("proxyPort").toInt(), 8080);
    }

    // The URL's own port is used, Host names the host alone, the scheme is
    // ignored, and no fragment goes out.
    void getOnTheWire_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("query kept, fragment dropped") << "/get/m?id=7&t=a%20b#frag"
                                                      << "http" << QByteArray("/get/m?id=7&t=a%20b");
        QTest::newRow("host only") << ""
                                   << "http" << QByteArray("/");
        QTest::newRow("https still plain") << "/x"
                                           << "https" << QByteArray("/x");
    }

    void getOnTheWire()
    {
        QFETCH(QString, path);
        QFETCH(QString, scheme);
        QFETCH(QByteArray, target);
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        m_server->enqueue(HttpTestServer::reply(200, "PDU"));
        r.downloadMms(url(path, scheme), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(device.data(), QByteArray("PDU"));
        QCOMPARE(m_server->request(0).raw,
            "GET " + target + " HTTP/1.1\r\n" + s_identity + "Host: 127.0.0.1\r\n\r\n");
    }

    void ipv6Host()
    {
        Ipv6Peer peer;
        QVERIFY(peer.listen());
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        r.downloadMms(QStringLiteral("http://[::1]:%1/m").arg(peer.port()), nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QVERIFY2(peer.received.contains("\r\nHost: [::1]\r\n"), peer.received.constData());
    }

    void emptyIdentityLeavesOnlyHost()
    {
        QVERIFY(m_home.writeConf("user_agent=\nprofile_url=\n"));
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        m_server->enqueue(HttpTestServer::reply(200, "PDU"));
        r.downloadMms(url(QStringLiteral("/m")), nullptr);
        QVERIFY(done.wait());
        QCOMPARE(m_server->request(0).raw, QByteArray("GET /m HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("200") << HttpTestServer::reply(200, "pdu-bytes") << 200 << QByteArray("pdu-bytes");
        QTest::newRow("404 page in device")
            << HttpTestServer::reply(404, "expired") << 404 << QByteArray("expired");
        QTest::newRow("500") << HttpTestServer::reply(500, "oops") << 500 << QByteArray("oops");
        QTest::newRow("close-delimited")
            << HttpTestServer::closeDelimitedReply(200, "until close") << 200 << QByteArray("until close");
        QTest::newRow("cut-off body")
            << HttpTestServer::reply(200, "0123456789").chopped(4) << 6 << QByteArray("012345");
        QTest::newRow("closed before answer") << QByteArray() << 4 << QByteArray();
        QTest::newRow("malformed") << QByteArray("HTTP/1.1 abc\r\n\r\n") << 5 << QByteArray();
    }

    void outcomes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        m_server->enqueue(HttpTestResponse(answer).close());
        r.downloadMms(url(QStringLiteral("/m")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
        QCOMPARE(device.data(), stored);
    }

    void clientErrors_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("code");
        QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:%1/m").arg(closedPort()) << 3;
        QTest::newRow("host not found") << "http://nosuchhost.invalid/m" << 2;
        QTest::newRow("not a url") << "::" << 2;
    }

    void clientErrors()
    {
        QFETCH(QString, address);
        QFETCH(int, code);
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        r.downloadMms(address, &device);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
    }

    // A PDU the caller never got is not reported as delivered.
    void failingDevice()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::ReadOnly);
        m_server->enqueue(HttpTestServer::reply(200, "pdu"));
        r.downloadMms(url(QStringLiteral("/m")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 1);
    }

    // The body reaches the device as it arrives, with progress, not once the
    // whole answer is in.
    void bodyIsStreamed()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QSignalSpy progress(&r, &MmsReceiverBase::downloadProgress);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        const QByteArray body = HttpTestServer::pattern(200000);
        const QByteArray answer = HttpTestServer::reply(200, body);
        const int headSize = answer.size() - body.size();
        m_server->enqueue(HttpTestResponse()
                              .send(answer.left(headSize + 100000))
                              .waitForRelease()
                              .send(answer.mid(headSize + 100000)));
        r.downloadMms(url(QStringLiteral("/big")), &device);
        QTRY_COMPARE(device.data().size(), 100000);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), QVariantList({ 100000, 200000 }));
        QCOMPARE(done.count(), 0);
        m_server->release();
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(device.data(), body);
        QCOMPARE(progress.last(), QVariantList({ 200000, 200000 }));
    }

    // abort(): no completion, what had arrived stays in the device, later
    // state changes are still forwarded, and the receiver works again.
    void abortIsSilent()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QSignalSpy states(&r, &MmsReceiverBase::connectionStateChanged);
        r.abort();
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        const QByteArray answer = HttpTestServer::reply(200, "0123456789");
        m_server->enqueue(HttpTestResponse().send(answer.chopped(6)).waitForRelease().send(answer.right(6)));
        r.downloadMms(url(QStringLiteral("/m")), &device);
        QTRY_COMPARE(device.data(), QByteArray("0123"));
        const int before = states.count();
        r.abort();
        QTRY_COMPARE(states.last().at(0).toInt(), 0);
        QVERIFY(states.count() > before);
        // The server has seen the aborted connection go, so the next answer
        // is not spent on it.
        QVERIFY(m_server->waitForOpenConnections(0));
        QCOMPARE(done.count(), 0);
        QCOMPARE(device.data(), QByteArray("0123"));

        m_server->enqueue(HttpTestServer::reply(200, "again"));
        QBuffer second;
        second.open(QIODevice::WriteOnly);
        r.downloadMms(url(QStringLiteral("/m2")), &second);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(second.data(), QByteArray("again"));
    }

    // The earlier GET still runs to its end into its own device; only the
    // later one is reported.
    void secondDownloadWins()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer first, second;
        first.open(QIODevice::WriteOnly);
        second.open(QIODevice::WriteOnly);
        m_server->enqueue(HttpTestServer::reply(201, "pdu-1"));
        m_server->enqueue(HttpTestServer::reply(202, "pdu-2"));
        r.downloadMms(url(QStringLiteral("/1")), &first);
        r.downloadMms(url(QStringLiteral("/2")), &second);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 202);
        QCOMPARE(first.data(), QByteArray("pdu-1"));
        QCOMPARE(second.data(), QByteArray("pdu-2"));
    }

    void proxyAndClearedProxy()
    {
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        MmsReceiver r;
        r.setProxy(QStringLiteral("127.0.0.1"));
        r.setProxyPort(proxy.port());
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "pdu")));
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        r.downloadMms(url(QStringLiteral("/m?id=1")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(device.data(), QByteArray("pdu"));
        QVERIFY(proxy.waitForRequest(QStringLiteral("GET %1 HTTP/1.1").arg(url(QStringLiteral("/m?id=1")))));
        QVERIFY(!m_server->request(0).header("Via").isEmpty());
        QCOMPARE(m_server->request(0).header("x-wap-profile"), s_profile);

        r.setProxy(QString());
        r.downloadMms(url(QStringLiteral("/m?id=2")), &device);
        QVERIFY(done.wait());
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(
            m_server->request(1).raw, "GET /m?id=2 HTTP/1.1\r\n" + s_identity + "Host: 127.0.0.1\r\n\r\n");
        QCOMPARE(proxy.requests().size(), 1);
    }

    void debugLines()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QSignalSpy states(&r, &MmsReceiverBase::connectionStateChanged);
        QSignalSpy progress(&r, &MmsReceiverBase::downloadProgress);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "PDU-BYTES")));
        {
            DebugFlag off(false);
            LogCapture log;
            r.downloadMms(url(QStringLiteral("/m")), nullptr);
            QVERIFY(done.wait());
            QCOMPARE(log.lines(), QStringList());
        }
        states.clear();
        progress.clear();
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        DebugFlag on(true);
        LogCapture log;
        r.setProxyPort(3128); // printed even without a proxy
        r.downloadMms(url(QStringLiteral("/m?x=1#f")), &device);
        QVERIFY(done.wait());

        const QString port = QString::number(m_server->port());
        QStringList lines = log.lines(QtDebugMsg);
        const QStringList stateLines = lines.filter(QStringLiteral("D: [HTTP] "));
        const QStringList progressLines = lines.filter(QStringLiteral("MMS download progress"));
        for (const QString &l : stateLines + progressLines)
            lines.removeOne(l);
        QCOMPARE(lines,
            QStringList({
                "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
                "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"',
                "D: [LIBTARNEX] Sending HTTP GET to: \"127.0.0.1\" : " + port
                    + " \"/m?x=1\" via proxy \"\" : 3128",
                "D: [LIBTARNEX] HTTP GET is sent, transaction ID: 4",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 3 error= false",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 4 error= false",
                "D: [LIBTARNEX] MMS download completed, error: 200 , downloaded PDU size: 9",
            }));
        QCOMPARE(stateLines.size(), states.size());
        const char *names[]
            = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };
        for (int i = 0; i < states.size(); ++i) {
            const int st = states.at(i).at(0).toInt();
            QCOMPARE(stateLines.at(i),
                QStringLiteral("D: [HTTP] Connection state %1 ( %2 )").arg(names[st]).arg(st));
        }
        QCOMPARE(progressLines.size(), progress.size());
        QCOMPARE(progressLines.last(), QStringLiteral("D: [LIBTARNEX] MMS download progress,  9  of  9"));
    }

    // Without a port in the URL the GET goes to port 80, and the log says so;
    // a failure is logged with the client's code.
    void defaultPortAndFailureLine()
    {
        MmsReceiver r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        DebugFlag on(true);
        LogCapture log;
        r.downloadMms(QStringLiteral("http://nosuchhost.invalid/m"), nullptr);
        QVERIFY(done.wait(20000));
        QCOMPARE(log.matching(QStringLiteral("Sending HTTP GET")),
            QStringList({ "D: [LIBTARNEX] Sending HTTP GET to: \"nosuchhost.invalid\" : 80 \"/m\" via proxy "
                          "\"\" : 0" }));
        QCOMPARE(log.matching(QStringLiteral("MMS download completed")),
            QStringList({ "D: [LIBTARNEX] MMS download completed, error: 2 , downloaded PDU size: 0" }));
    }

    void stateNames_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("1") << 1 << "D: [HTTP] Connection state HostLookup ( 1 )";
        QTest::newRow("5") << 5 << "D: [HTTP] Connection state Connected ( 5 )";
        QTest::newRow("7") << 7 << "D: [HTTP] Connection state Unknown ( 7 )";
        QTest::newRow("-1") << -1 << "D: [HTTP] Connection state Unknown ( -1 )";
    }

    void stateNames()
    {
        QFETCH(int, state);
        QFETCH(QString, line);
        MmsReceiver r;
        QSignalSpy states(&r, &MmsReceiverBase::connectionStateChanged);
        DebugFlag on(true);
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(&r, "httpConnectionState", Q_ARG(int, state)));
        QCOMPARE(log.lines(), QStringList({ line }));
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).toInt(), state);
    }
};

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
