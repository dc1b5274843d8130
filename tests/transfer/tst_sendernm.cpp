// MmsSenderNM against the shared test server and a real forward proxy: the
// POST as it arrives, the completion codes, what lands in the response device,
// and that a long-lived sender keeps no reply objects.
#include <QBuffer>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmssendernm.h"
#include "tinyproxyprocess.h"
#include "transfertest.h"

namespace {
const QByteArray s_ua = "Phone/1.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P1.xml";

QString objectItem(const QObject *o)
{
    QString s;
    QDebug(&s) << o;
    return s.trimmed();
}
} // namespace

class TestSenderNM : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;
    HttpTestServer *m_server = nullptr;

    void prepare(MmsSenderNM &s, const QString &path = QStringLiteral("/mms"))
    {
        s.setMmsc(QStringLiteral("http://127.0.0.1") + path);
        s.setMmscPort(m_server->port());
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
        MmsSenderNM s;
        QCOMPARE(s.metaObject()->className(), "MmsSenderNM");
        QCOMPARE(s.metaObject()->superClass(), &MmsSenderBase::staticMetaObject);
        QCOMPARE(ownMethods(&MmsSenderNM::staticMetaObject),
            QStringList({ "networkManagerFinished(QNetworkReply*):reply",
                "httpDataSendProgress(qlonglong,qlonglong):done total" }));
        QVERIFY(qobject_cast<MmsSenderBase *>(&s));
        QVERIFY(s.setProperty("mmscPort", 8002));
        QCOMPARE(s.mmscPort(), 8002);
        QVERIFY(s.parent() == nullptr);
    }

    // The POST as it reaches the MMSC, and the debug lines of a whole send.
    void postOnTheWire()
    {
        MmsSenderNM s;
        prepare(s, QStringLiteral("/mms?x=1#frag"));
        QBuffer pdu;
        pdu.setData("\x8c\x80\x98PDU\x00\r\nbytes", 13);
        QVERIFY(pdu.open(QIODevice::ReadOnly));
        QBuffer response;
        QVERIFY(response.open(QIODevice::WriteOnly));
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QSignalSpy state(&s, &MmsSenderBase::connectionStateChanged);
        m_server->enqueue(HttpTestServer::reply(200, "RESP-PDU"));

        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(response.data(), QByteArray("RESP-PDU"));
        QCOMPARE(state.count(), 0);

        const HttpTestRequest r = m_server->request(0);
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/mms?x=1"));
        QCOMPARE(r.version, QByteArray("HTTP/1.1"));
        QCOMPARE(r.body, pdu.data());
        QCOMPARE(namesAmong(r.headerNames(), { "User-Agent", "x-wap-profile", "Content-type" }),
            QList<QByteArray>({ "User-Agent", "x-wap-profile", "Content-type" }));
        QCOMPARE(r.header("User-Agent"), s_ua);
        QCOMPARE(r.header("x-wap-profile"), s_profile);
        QCOMPARE(r.headerValues("Content-type"), QList<QByteArray>({ "application/vnd.wap.mms-message" }));
        QCOMPARE(r.header("Host"), "127.0.0.1:" + QByteArray::number(m_server->port()));

        const QString port = QString::number(m_server->port());
        QStringList lines = log.lines(QtDebugMsg);
        QStringList progress = lines.filter(QStringLiteral("MMS sending progress"));
        for (const QString &l : progress)
            lines.removeOne(l);
        QVERIFY(progress.contains(QStringLiteral("D: [LIBTARNEX] MMS sending progress,  13  of  13")));
        QCOMPARE(lines.size(), 9);
        QCOMPARE(lines.at(0), "D: [LIBTARNEX] Start MMS sending, PDU size: 13 " + objectItem(&response));
        QCOMPARE(lines.at(1), "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"');
        QCOMPARE(lines.at(2), "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"');
        QCOMPARE(lines.at(3), "D: [LIBTARNEX] url is  \"http://127.0.0.1:" + port + "/mms?x=1#frag\"");
        QCOMPARE(lines.at(4),
            "D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : " + port
                + " \"/mms?x=1\"  via proxy  \"\" : 0");
        QCOMPARE(lines.at(5), QStringLiteral("D: [LIBTARNEX] Waiting for initial reply"));
        QCOMPARE(lines.at(6), QStringLiteral("D: [LIBTARNEX] HTTP POST is sent "));
        QVERIFY2(
            QRegularExpression(
                QStringLiteral(
                    "^D: \\[LIBTARNEX\\] HTTP transaction finished  QNetworkReply\\w*\\(0x[0-9a-f]+\\)$"))
                .match(lines.at(7))
                .hasMatch(),
            qPrintable(lines.at(7)));
        QCOMPARE(lines.at(8), QStringLiteral("D: [LIBTARNEX] MMS sending completed, response PDU size: 8"));
        QCOMPARE(log.lines(QtWarningMsg), QStringList());
    }

    void silentWithoutFlag()
    {
        MmsSenderNM s;
        prepare(s);
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        QBuffer response;
        response.open(QIODevice::WriteOnly);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->enqueue(HttpTestServer::reply(200, "ok"));
        DebugFlag off(false);
        LogCapture log;
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(log.lines(), QStringList());
    }

    // "mmscPort" 0 leaves the URL's own port in force; any other value wins.
    void portChoice()
    {
        MmsSenderNM s;
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        QBuffer pdu;
        pdu.setData("p");
        pdu.open(QIODevice::ReadOnly);

        s.setMmsc(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        s.setMmscPort(0);
        s.startMmsSend(&pdu, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.last().at(0).toInt(), 200);
        QCOMPARE(m_server->request(0).target, QByteArray("/"));

        pdu.seek(0);
        s.setMmsc(QStringLiteral("http://127.0.0.1:1/x"));
        s.setMmscPort(m_server->port());
        s.startMmsSend(&pdu, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.last().at(0).toInt(), 200);
        QCOMPARE(m_server->request(1).target, QByteArray("/x"));

        // No PDU device at all: an empty POST, not a crash.
        s.startMmsSend(nullptr, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.last().at(0).toInt(), 200);
        QCOMPARE(m_server->request(2).bodySize, 0);
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("ignoreWarning");
        QTest::newRow("200") << HttpTestServer::reply(200, "answer") << 200 << QByteArray("answer") << false;
        QTest::newRow("200 empty") << HttpTestServer::reply(200) << 200 << QByteArray() << true;
        QTest::newRow("204") << HttpTestServer::reply(204) << 204 << QByteArray() << true;
        // HTTP error statuses arrive as the manager's errors; the body is not
        // handed on as if it were the MMSC's answer.
        QTest::newRow("404") << HttpTestServer::reply(404, "not here") << 203 << QByteArray() << false;
        QTest::newRow("500") << HttpTestServer::reply(500, "broken") << 401 << QByteArray() << false;
        // The connection closes 4 bytes before the announced end of the body.
        QTest::newRow("cut off") << HttpTestServer::reply(200, "0123456789").chopped(4) << 2 << QByteArray()
                                 << false;
    }

    void outcomes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        QFETCH(bool, ignoreWarning);
        MmsSenderNM s;
        prepare(s);
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        QBuffer response;
        response.open(QIODevice::WriteOnly);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->enqueue(HttpTestResponse(answer).close());
        DebugFlag off(false);
        LogCapture log;
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
        QCOMPARE(response.data(), stored);
        QCOMPARE(log.lines(QtWarningMsg),
            ignoreWarning ? QStringList({ "[LIBTARNEX] MMS sending completed. Ignore response" })
                          : QStringList());
    }

    // Unlike the socket sender, an aborted send is reported, with the
    // cancellation error; once a send has ended, abort() does nothing.
    void abortReportsCancel()
    {
        MmsSenderNM s;
        prepare(s);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        s.abort(); // before any send
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        QBuffer response;
        response.open(QIODevice::WriteOnly);
        s.startMmsSend(&pdu, &response); // no answer is queued: the MMSC keeps it waiting
        QVERIFY(m_server->waitForRequests(1));
        s.abort();
        QTRY_COMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), int(QNetworkReply::OperationCanceledError));
        QCOMPARE(response.data(), QByteArray());
        s.abort();
        m_server->enqueue(HttpTestServer::reply(200, "late"));
        QTest::qWait(0);
        QCOMPARE(done.count(), 1);
    }

    void responseDeviceDeletedMidTransfer()
    {
        MmsSenderNM s;
        prepare(s);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        auto *response = new QBuffer;
        response->open(QIODevice::WriteOnly);
        s.startMmsSend(&pdu, response);
        QVERIFY(m_server->waitForRequests(1));
        delete response;
        DebugFlag off(false);
        LogCapture log;
        m_server->enqueue(HttpTestServer::reply(200, "answer"));
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(
            log.lines(QtWarningMsg), QStringList({ "[LIBTARNEX] MMS sending completed. Ignore response" }));
    }

    // The caller never got the MMSC's answer: no success, and a warning.
    void failingResponseDevice()
    {
        MmsSenderNM s;
        prepare(s);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        QBuffer response;
        response.open(QIODevice::ReadOnly);
        m_server->enqueue(HttpTestServer::reply(200, "answer"));
        DebugFlag off(false);
        LogCapture log;
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), int(QNetworkReply::UnknownContentError));
        QCOMPARE(log.matching(QStringLiteral("[LIBTARNEX] Could not store the MMSC's response")).size(), 1);
    }

    // Only the send started last is reported; the earlier one's answer is
    // not written anywhere.
    void secondSendWins()
    {
        MmsSenderNM s;
        prepare(s);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        DebugFlag on(true);
        LogCapture log;
        QBuffer pdu1, pdu2, response1, response2;
        pdu1.setData("first");
        pdu2.setData("second");
        for (QBuffer *b : { &pdu1, &pdu2 })
            b->open(QIODevice::ReadOnly);
        for (QBuffer *b : { &response1, &response2 })
            b->open(QIODevice::WriteOnly);
        s.startMmsSend(&pdu1, &response1);
        s.startMmsSend(&pdu2, &response2);
        QVERIFY(m_server->waitForRequests(2));
        for (const HttpTestRequest &r : m_server->requests())
            m_server->enqueue(HttpTestServer::reply(r.body == "first" ? 201 : 202, "to-" + r.body));
        // Both replies have ended once both have logged their end.
        QTRY_COMPARE(log.matching(QStringLiteral("HTTP transaction finished")).size(), 2);
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 202);
        QCOMPARE(response2.data(), QByteArray("to-second"));
        QCOMPARE(response1.data(), QByteArray());
    }

    // Through a real forward proxy, then with the proxy cleared: the second
    // message must go straight to the MMSC.
    void proxyAndClearedProxy()
    {
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        MmsSenderNM s;
        prepare(s, QStringLiteral("/mms"));
        s.setProxy(QStringLiteral("127.0.0.1"));
        s.setProxyPort(proxy.port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        QBuffer pdu;
        pdu.setData("via-proxy");
        pdu.open(QIODevice::ReadOnly);
        QBuffer response;
        response.open(QIODevice::WriteOnly);
        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(response.data(), QByteArray("ok"));
        const QString absolute
            = QStringLiteral("POST http://127.0.0.1:%1/mms HTTP/1.1").arg(m_server->port());
        QVERIFY(proxy.waitForRequest(absolute));
        QCOMPARE(m_server->request(0).body, QByteArray("via-proxy"));
        QCOMPARE(m_server->request(0).header("x-wap-profile"), s_profile);
        QVERIFY(!m_server->request(0).header("Via").isEmpty());
        QCOMPARE(log.matching(QStringLiteral("D: [LIBTARNEX] Setting proxy ")),
            QStringList(
                { QStringLiteral("D: [LIBTARNEX] Setting proxy  \"127.0.0.1\" : %1").arg(proxy.port()) }));

        s.setProxy(QString());
        pdu.seek(0);
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(1).at(0).toInt(), 200);
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->request(1).header("Via"), QByteArray());
        QCOMPARE(m_server->request(1).target, QByteArray("/mms"));
        QCOMPARE(proxy.requests().size(), 1);
    }

    // The manager reports 64-bit progress; the signal carries ints, and a
    // zero total would be a division by zero for a caller's percentage.
    void progressNarrowing_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("sigDone");
        QTest::addColumn<int>("sigTotal");
        QTest::newRow("plain") << qint64(100) << qint64(300) << 100 << 300;
        QTest::newRow("zero total") << qint64(0) << qint64(0) << 0 << 1;
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
        MmsSenderNM s;
        QSignalSpy progress(&s, &MmsSenderBase::sendProgress);
        DebugFlag on(true);
        LogCapture log;
        QVERIFY(
            QMetaObject::invokeMethod(&s, "httpDataSendProgress", Q_ARG(qint64, done), Q_ARG(qint64, total)));
        QCOMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(0).toInt(), sigDone);
        QCOMPARE(progress.at(0).at(1).toInt(), sigTotal);
        QCOMPARE(log.lines(),
            QStringList(
                { QStringLiteral("D: [LIBTARNEX] MMS sending progress,  %1  of  %2").arg(done).arg(total) }));
    }

    // A sender lives as long as the MMS service: its finished replies must
    // not pile up. (The PDUs are empty: Qt's manager writes a body apart from
    // its header without TCP_NODELAY, so every POST with a body waits for a
    // delayed ACK, which would only make this test slow.)
    void manySendsLeaveNoReplies()
    {
        MmsSenderNM s;
        prepare(s);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        m_server->setKeepBodies(false);
        int maxReplies = 0;
        for (int i = 0; i < 1000; ++i) {
            QBuffer pdu;
            pdu.open(QIODevice::ReadOnly);
            QBuffer response;
            response.open(QIODevice::WriteOnly);
            s.startMmsSend(&pdu, &response);
            QVERIFY(done.wait());
            QCOMPARE(done.last().at(0).toInt(), 200);
            QCOMPARE(response.data(), QByteArray("ok"));
            maxReplies = qMax(maxReplies, s.findChildren<QNetworkReply *>().size());
        }
        QCOMPARE(done.count(), 1000);
        QVERIFY(maxReplies <= 2);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(s.findChildren<QNetworkReply *>().size(), 0);
        s.abort(); // nothing left to abort
    }
};

QTEST_GUILESS_MAIN(TestSenderNM)
#include "tst_sendernm.moc"
