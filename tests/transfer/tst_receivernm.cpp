// MmsReceiverNM against the shared test server and a real forward proxy: the
// GET as it arrives, the completion codes, what lands in the device, and that
// a long-lived receiver keeps no reply objects.
#include <QBuffer>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmsreceivernm.h"
#include "tinyproxyprocess.h"
#include "transfertest.h"

namespace {
const QByteArray s_ua = "Phone/2.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P2.xml";
} // namespace

class TestReceiverNM : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;
    HttpTestServer *m_server = nullptr;

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path);
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

    void metaObject()
    {
        MmsReceiverNM r;
        QCOMPARE(r.metaObject()->className(), "MmsReceiverNM");
        QCOMPARE(r.metaObject()->superClass(), &MmsReceiverBase::staticMetaObject);
        QCOMPARE(ownMethods(&MmsReceiverNM::staticMetaObject),
            QStringList({ "networkManagerFinished(QNetworkReply*):",
                "httpDataReceiveProgress(qlonglong,qlonglong):done total" }));
        QCOMPARE(r.property("proxy").toString(), QString());
        QVERIFY(r.setProperty("proxyPort", 3128));
        QCOMPARE(r.proxyPort(), 3128);
    }

    void getOnTheWire()
    {
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QSignalSpy progress(&r, &MmsReceiverBase::downloadProgress);
        QSignalSpy state(&r, &MmsReceiverBase::connectionStateChanged);
        QBuffer device;
        QVERIFY(device.open(QIODevice::WriteOnly));
        const QByteArray pdu = HttpTestServer::pattern(70000);
        m_server->enqueue(HttpTestServer::reply(200, pdu));

        DebugFlag on(true);
        LogCapture log;
        r.downloadMms(url(QStringLiteral("/get/x?id=7#frag")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(device.data(), pdu);
        QCOMPARE(state.count(), 0);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toInt(), pdu.size());

        const HttpTestRequest req = m_server->request(0);
        QCOMPARE(req.method, QByteArray("GET"));
        QCOMPARE(req.target, QByteArray("/get/x?id=7"));
        QCOMPARE(namesAmong(req.headerNames(), { "User-Agent", "x-wap-profile", "Content-Type" }),
            QList<QByteArray>({ "User-Agent", "x-wap-profile" }));
        QCOMPARE(req.header("User-Agent"), s_ua);
        QCOMPARE(req.header("x-wap-profile"), s_profile);
        QCOMPARE(req.bodySize, 0);

        const QString port = QString::number(m_server->port());
        QStringList lines = log.lines(QtDebugMsg);
        const QStringList progressLines = lines.filter(QStringLiteral("MMS download progress"));
        for (const QString &l : progressLines)
            lines.removeOne(l);
        QCOMPARE(
            progressLines.last(), QStringLiteral("D: [LIBTARNEX] MMS download progress,  70000  of  70000"));
        QCOMPARE(lines,
            QStringList({
                "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
                "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"',
                "D: [LIBTARNEX] Sending HTTP GET to: \"127.0.0.1\" : " + port
                    + " \"/get/x?id=7\" via proxy \"\" : 0",
                "D: [LIBTARNEX] HTTP transaction finished",
                "D: [LIBTARNEX] MMS download completed, error: 0 response PDU size: 70000",
            }));
    }

    // Host only: the path "/" is asked for. Empty identity values: no header
    // of ours (the manager still names itself as user agent).
    void hostOnlyAndEmptyIdentity()
    {
        QVERIFY(m_home.writeConf("user_agent=\nprofile_url=\n"));
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        m_server->enqueue(HttpTestServer::reply(200, "x"));
        DebugFlag on(true);
        LogCapture log;
        r.downloadMms(url(QString()), &device);
        QVERIFY(done.wait());
        QCOMPARE(m_server->request(0).target, QByteArray("/"));
        QVERIFY(!m_server->request(0).headerNames().contains("x-wap-profile"));
        QVERIFY(m_server->request(0).header("User-Agent") != s_ua);
        QVERIFY(log.matching(QStringLiteral("User-Agent")).isEmpty());
        QVERIFY(log.matching(QStringLiteral("Profile URL")).isEmpty());
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("200") << HttpTestServer::reply(200, "pdu-bytes") << 200 << QByteArray("pdu-bytes");
        QTest::newRow("200 empty") << HttpTestServer::reply(200) << 200 << QByteArray();
        // The manager turns error statuses into its own codes; the error page
        // still reaches the device.
        QTest::newRow("404") << HttpTestServer::reply(404, "no such message") << 203
                             << QByteArray("no such message");
        QTest::newRow("500") << HttpTestServer::reply(500, "oops") << 401 << QByteArray("oops");
        // Whatever arrived is handed on; the code says it is not the whole.
        QTest::newRow("cut off") << HttpTestServer::reply(200, "0123456789").chopped(4) << 2
                                 << QByteArray("012345");
    }

    void outcomes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        m_server->enqueue(HttpTestResponse(answer).close());
        DebugFlag off(false);
        LogCapture log;
        r.downloadMms(url(QStringLiteral("/m")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
        QCOMPARE(device.data(), stored);
        QCOMPARE(log.lines(), QStringList());
    }

    void abortReportsCancel()
    {
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        r.abort(); // idle: nothing happens
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        r.downloadMms(url(QStringLiteral("/slow")), &device);
        QVERIFY(m_server->waitForRequests(1));
        r.abort();
        LogCapture log;
        QTRY_COMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), int(QNetworkReply::OperationCanceledError));
        QCOMPARE(device.data(), QByteArray());
        QCOMPARE(log.lines(), QStringList());
        r.abort(); // after the end: nothing
        QTest::qWait(0);
        QCOMPARE(done.count(), 1);
    }

    // The PDU the caller never got is no success; an error stays the error.
    void failingDevice_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::newRow("200") << 200 << int(QNetworkReply::UnknownContentError);
        QTest::newRow("404") << 404 << int(QNetworkReply::ContentNotFoundError);
    }

    void failingDevice()
    {
        QFETCH(int, status);
        QFETCH(int, code);
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        QBuffer device;
        device.open(QIODevice::ReadOnly);
        m_server->enqueue(HttpTestServer::reply(status, "body"));
        DebugFlag off(false);
        LogCapture log;
        r.downloadMms(url(QStringLiteral("/m")), &device);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), code);
        QCOMPARE(log.matching(QStringLiteral("[LIBTARNEX] Could not store the downloaded PDU")).size(), 1);
    }

    void deviceDeletedMidTransfer()
    {
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        auto *device = new QBuffer;
        device->open(QIODevice::WriteOnly);
        r.downloadMms(url(QStringLiteral("/m")), device);
        QVERIFY(m_server->waitForRequests(1));
        delete device;
        m_server->enqueue(HttpTestServer::reply(200, "pdu"));
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
    }

    void secondDownloadWins()
    {
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        DebugFlag on(true);
        LogCapture log;
        QBuffer first, second;
        first.open(QIODevice::WriteOnly);
        second.open(QIODevice::WriteOnly);
        r.downloadMms(url(QStringLiteral("/first")), &first);
        r.downloadMms(url(QStringLiteral("/second")), &second);
        QVERIFY(m_server->waitForRequests(2));
        for (const HttpTestRequest &req : m_server->requests())
            m_server->enqueue(HttpTestServer::reply(req.target == "/first" ? 201 : 202, "pdu" + req.target));
        // Both replies have ended once both have logged their end.
        QTRY_COMPARE(log.matching(QStringLiteral("HTTP transaction finished")).size(), 2);
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 202);
        QCOMPARE(second.data(), QByteArray("pdu/second"));
        QCOMPARE(first.data(), QByteArray());
    }

    void proxyAndClearedProxy()
    {
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        MmsReceiverNM r;
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
        QCOMPARE(m_server->request(0).header("x-wap-profile"), s_profile);

        r.setProxy(QString());
        r.downloadMms(url(QStringLiteral("/m?id=2")), &device);
        QVERIFY(done.wait());
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->request(1).header("Via"), QByteArray());
        QVERIFY(!m_server->request(0).header("Via").isEmpty());
        QCOMPARE(proxy.requests().size(), 1);
    }

    void progressNarrowing_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("sigDone");
        QTest::addColumn<int>("sigTotal");
        QTest::newRow("plain") << qint64(100) << qint64(300) << 100 << 300;
        QTest::newRow("zero total stays zero") << qint64(0) << qint64(0) << 0 << 0;
        QTest::newRow("unknown total") << qint64(5) << qint64(-1) << 5 << -1;
        QTest::newRow("over 2^31") << (qint64(1) << 31) + 7 << (qint64(3) << 31) + 1 << int(0x80000007)
                                   << int(0x80000001);
    }

    void progressNarrowing()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(int, sigDone);
        QFETCH(int, sigTotal);
        MmsReceiverNM r;
        QSignalSpy progress(&r, &MmsReceiverBase::downloadProgress);
        DebugFlag on(true);
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(
            &r, "httpDataReceiveProgress", Q_ARG(qint64, done), Q_ARG(qint64, total)));
        QCOMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(0).toInt(), sigDone);
        QCOMPARE(progress.at(0).at(1).toInt(), sigTotal);
        QCOMPARE(log.lines(),
            QStringList({ QStringLiteral("D: [LIBTARNEX] MMS download progress,  %1  of  %2")
                              .arg(done)
                              .arg(total) }));
    }

    void manyDownloadsLeaveNoReplies()
    {
        MmsReceiverNM r;
        QSignalSpy done(&r, &MmsReceiverBase::downloadCompleted);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "pdu")));
        int maxReplies = 0;
        for (int i = 0; i < 1000; ++i) {
            QBuffer device;
            device.open(QIODevice::WriteOnly);
            r.downloadMms(url(QStringLiteral("/m")), &device);
            QVERIFY(done.wait());
            QCOMPARE(done.last().at(0).toInt(), 200);
            QCOMPARE(device.data(), QByteArray("pdu"));
            maxReplies = qMax(maxReplies, r.findChildren<QNetworkReply *>().size());
        }
        QCOMPARE(done.count(), 1000);
        QVERIFY(maxReplies <= 2);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(r.findChildren<QNetworkReply *>().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestReceiverNM)
#include "tst_receivernm.moc"
