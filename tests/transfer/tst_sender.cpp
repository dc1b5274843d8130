// MmsSender over the socket HTTP client against the shared test server and a
// real forward proxy: the POST byte for byte, outcome codes, states, abort,
// and the debug lines.
#include <QBuffer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmssender.h"
#include "tarnexconfig_p.h"
#include "tinyproxyprocess.h"
#include "transfertest.h"

namespace {
const QByteArray s_ua = "Phone/1.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P1.xml";

struct Send
{
    QBuffer pdu;
    QBuffer response;
    explicit Send(const QByteArray &body = QByteArray("pdu"))
    {
        pdu.setData(body);
        pdu.open(QIODevice::ReadOnly);
        response.open(QIODevice::WriteOnly);
    }
};

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // nothing listens there once probe is gone
}
} // namespace

class TestSender : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;
    HttpTestServer *m_server = nullptr;

    QByteArray head(const QByteArray &target, int length,
        const QByteArray &identity = "User-Agent: " + s_ua + "\r\nx-wap-profile: " + s_profile + "\r\n")
    {
        return "POST " + target + " HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n" + identity
            + "Host: 127.0.0.1\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
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
        MmsSender s;
        QCOMPARE(s.metaObject()->className(), "MmsSender");
        QCOMPARE(s.metaObject()->superClass(), &MmsSenderBase::staticMetaObject);
        QCOMPARE(ownMethods(&MmsSender::staticMetaObject),
            QStringList({ "httpRequestFinished(int,bool):requestId error",
                "httpDataSendProgress(int,int):done total", "httpConnectionState(int):state" }));
        QVERIFY(qobject_cast<MmsSenderBase *>(&s));
        QCOMPARE(s.mmsc(), QString());
        QCOMPARE(s.property("proxy").toString(), QString());
        QVERIFY(s.setProperty("mmsc", QStringLiteral("http://mmsc.example/mms")));
        QVERIFY(s.setProperty("proxyPort", 8080));
        s.setMmscPort(8002);
        s.setProxy(QStringLiteral("10.0.0.1"));
        QCOMPARE(s.mmsc(), QStringLiteral("http://mmsc.example/mms"));
        QCOMPARE(s.proxyPort(), 8080);
        QCOMPARE(s.property("mmscPort").toInt(), 8002);
        QCOMPARE(s.property("proxy").toString(), QStringLiteral("10.0.0.1"));
    }

    // The request target is path and query of the MMSC URL; the connection
    // always goes to "mmscPort" in plain HTTP, and Host names the host alone.
    void postOnTheWire_data()
    {
        QTest::addColumn<QString>("mmsc");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("query kept, fragment and URL port dropped")
            << "http://127.0.0.1:1/mms/send?x=1&y=a%20b#frag" << QByteArray("/mms/send?x=1&y=a%20b");
        QTest::newRow("host only") << "http://127.0.0.1" << QByteArray("/");
        QTest::newRow("host and query") << "http://127.0.0.1?id=3" << QByteArray("/?id=3");
        QTest::newRow("https still plain") << "https://127.0.0.1/secure" << QByteArray("/secure");
    }

    void postOnTheWire()
    {
        QFETCH(QString, mmsc);
        QFETCH(QByteArray, target);
        MmsSender s;
        s.setMmsc(mmsc);
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        const QByteArray pdu("\x8c\x80\x98\x00\r\n\xff tail", 12);
        Send send(pdu);
        m_server->enqueue(HttpTestServer::reply(200, "RESP"));
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(send.response.data(), QByteArray("RESP"));
        QCOMPARE(m_server->requestCount(), 1);
        QCOMPARE(m_server->request(0).raw, head(target, pdu.size()) + pdu);
    }

    // Host must bracket an IPv6 literal, still without a port.
    void ipv6Host()
    {
        Ipv6Peer peer;
        QVERIFY(peer.listen());
        MmsSender s;
        s.setMmsc(QStringLiteral("http://[::1]/m"));
        s.setMmscPort(peer.port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        Send send;
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QVERIFY2(peer.received.contains("\r\nHost: [::1]\r\n"), peer.received.constData());
    }

    // The identity headers follow the settings file as it is at each send.
    void identityFromSettings_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QByteArray>("identity");
        QTest::newRow("no file") << QByteArray()
                                 << QByteArray("User-Agent: " TARNEX_DEFAULT_USER_AGENT
                                               "\r\nx-wap-profile: " TARNEX_DEFAULT_PROFILE_URL "\r\n");
        QTest::newRow("empty user agent") << QByteArray("user_agent=\nprofile_url=http://p/x.xml\n")
                                          << QByteArray("x-wap-profile: http://p/x.xml\r\n");
        QTest::newRow("both empty") << QByteArray("user_agent=\nprofile_url=\n") << QByteArray("");
        QTest::newRow("quoted commas") << QByteArray("user_agent=\"A/1 (X, Y), Z\"\nprofile_url=\n")
                                       << QByteArray("User-Agent: A/1 (X, Y), Z\r\n");
        QTest::newRow("unquoted commas")
            << QByteArray("user_agent=A/1 (X, Y)\nprofile_url=\n") << QByteArray("");
        QTest::newRow("forged header")
            << QByteArray("user_agent=\"A\\r\\nX-Evil: 1\"\nprofile_url=\n") << QByteArray("");
    }

    void identityFromSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QByteArray, identity);
        QVERIFY(m_home.writeConf(conf));
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        Send send;
        m_server->enqueue(HttpTestServer::reply(200));
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait());
        QCOMPARE(m_server->request(0).raw, head("/m", 3, identity) + "pdu");
    }

    void settingsEditedBetweenSends()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200)));
        Send first, second;
        s.startMmsSend(&first.pdu, &first.response);
        QVERIFY(done.wait());
        QVERIFY(m_home.setIdentity("Edited/2", "http://p.example/edited.xml"));
        s.startMmsSend(&second.pdu, &second.response);
        QVERIFY(done.wait());
        QCOMPARE(m_server->request(0).header("User-Agent"), s_ua);
        QCOMPARE(m_server->request(1).header("User-Agent"), QByteArray("Edited/2"));
        QCOMPARE(m_server->request(1).header("x-wap-profile"), QByteArray("http://p.example/edited.xml"));
    }

    // An answer of any status ends the send with that status and its body in
    // the device; a failing client ends it with the client's error.
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("200") << HttpTestServer::reply(200, "m-send-conf") << 200 << QByteArray("m-send-conf");
        QTest::newRow("404") << HttpTestServer::reply(404, "no mmsc here") << 404
                             << QByteArray("no mmsc here");
        QTest::newRow("500") << HttpTestServer::reply(500, "broken") << 500 << QByteArray("broken");
        QTest::newRow("chunked") << HttpTestServer::chunkedReply(200, "0123456789", 3) << 200
                                 << QByteArray("0123456789");
        QTest::newRow("cut-off body")
            << HttpTestServer::reply(200, "0123456789").chopped(4) << 6 << QByteArray("012345");
        QTest::newRow("closed before answer") << QByteArray() << 4 << QByteArray();
    }

    void outcomes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        Send send;
        m_server->enqueue(HttpTestResponse(answer).close());
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
        QCOMPARE(send.response.data(), stored);
    }

    void clientErrors_data()
    {
        QTest::addColumn<QString>("mmsc");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("code");
        QTest::newRow("refused") << "http://127.0.0.1/m" << int(closedPort()) << 3;
        QTest::newRow("host not found") << "http://nosuchhost.invalid/m" << 80 << 2;
        QTest::newRow("no host") << "not a url" << 80 << 2;
    }

    void clientErrors()
    {
        QFETCH(QString, mmsc);
        QFETCH(int, port);
        QFETCH(int, code);
        MmsSender s;
        s.setMmsc(mmsc);
        s.setMmscPort(port);
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        Send send;
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), code);
    }

    // The caller never got the MMSC's answer: the client's UnknownError.
    void failingResponseDevice()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QBuffer pdu, response;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        response.open(QIODevice::ReadOnly);
        m_server->enqueue(HttpTestServer::reply(200, "answer"));
        s.startMmsSend(&pdu, &response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 1);
    }

    // No completion after abort(), but the client's later states still
    // reach the caller, and the sender can be used again.
    void abortIsSilent()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QSignalSpy states(&s, &MmsSenderBase::connectionStateChanged);
        s.abort(); // idle: harmless
        Send send;
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(m_server->waitForRequests(1)); // no answer queued: the MMSC keeps it waiting
        QTRY_COMPARE(states.last().at(0).toInt(), 4);
        const int before = states.count();
        s.abort();
        QTRY_COMPARE(states.last().at(0).toInt(), 0);
        QVERIFY(states.count() > before);
        // The server has seen the aborted connection go, so the next answer
        // is not spent on it.
        QVERIFY(m_server->waitForOpenConnections(0));
        QCOMPARE(done.count(), 0);

        Send again;
        m_server->enqueue(HttpTestServer::reply(200, "ok"));
        s.startMmsSend(&again.pdu, &again.response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 200);
    }

    // Two sends queued back to back: both go out in order, only the second
    // is reported.
    void secondSendWins()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        Send first("first"), second("second");
        m_server->enqueue(HttpTestServer::reply(201, "to-first"));
        m_server->enqueue(HttpTestServer::reply(202, "to-second"));
        s.startMmsSend(&first.pdu, &first.response);
        s.startMmsSend(&second.pdu, &second.response);
        QVERIFY(done.wait());
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toInt(), 202);
        QCOMPARE(m_server->request(0).body, QByteArray("first"));
        QCOMPARE(m_server->request(1).body, QByteArray("second"));
        QCOMPARE(second.response.data(), QByteArray("to-second"));
    }

    // The proxy gets the absolute form; clearing the proxy property sends the
    // next message straight to the MMSC again.
    void proxyAndClearedProxy()
    {
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/mms?id=1"));
        s.setMmscPort(m_server->port());
        s.setProxy(QStringLiteral("127.0.0.1"));
        s.setProxyPort(proxy.port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        Send first("one");
        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(&first.pdu, &first.response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(first.response.data(), QByteArray("ok"));
        QVERIFY(proxy.waitForRequest(
            QStringLiteral("POST http://127.0.0.1:%1/mms?id=1 HTTP/1.1").arg(m_server->port())));
        QCOMPARE(m_server->request(0).body, QByteArray("one"));
        QVERIFY(!m_server->request(0).header("Via").isEmpty());
        // Proxy and host settings finish as transactions of their own, and
        // only the POST is reported.
        QCOMPARE(log.matching(QStringLiteral("HTTP transaction finished")),
            QStringList({ "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 1 error= false",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 2 error= false",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 3 error= false" }));
        QCOMPARE(log.matching(QStringLiteral("Sending HTTP POST")),
            QStringList(
                { QStringLiteral("D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : %1 \"/mms?id=1\" "
                                 " via proxy  \"127.0.0.1\" : %2")
                        .arg(m_server->port())
                        .arg(proxy.port()) }));

        s.setProxy(QString());
        Send second("two");
        s.startMmsSend(&second.pdu, &second.response);
        QVERIFY(done.wait());
        QCOMPARE(done.at(1).at(0).toInt(), 200);
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->request(1).raw, head("/mms?id=1", 3) + "two");
        QCOMPARE(proxy.requests().size(), 1);
    }

    // Every line of a whole send with the flag on, none with it off.
    void debugLines()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/mms#f"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QSignalSpy states(&s, &MmsSenderBase::connectionStateChanged);
        QSignalSpy progress(&s, &MmsSenderBase::sendProgress);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "RESP")));
        Send send("hello");
        {
            DebugFlag off(false);
            LogCapture log;
            s.startMmsSend(&send.pdu, &send.response);
            QVERIFY(done.wait());
            QCOMPARE(log.lines(), QStringList());
        }
        states.clear();
        progress.clear();
        send.pdu.seek(0);
        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(&send.pdu, &send.response);
        QVERIFY(done.wait());

        const QString port = QString::number(m_server->port());
        QStringList lines = log.lines(QtDebugMsg);
        QStringList stateLines = lines.filter(QStringLiteral("D: [HTTP] "));
        QStringList progressLines = lines.filter(QStringLiteral("MMS sending progress"));
        for (const QString &l : stateLines + progressLines)
            lines.removeOne(l);
        QCOMPARE(lines,
            QStringList({
                "D: [LIBTARNEX] Start MMS sending, PDU size: 5",
                "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
                "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"',
                "D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : " + port
                    + " \"/mms\"  via proxy  \"\" : 0",
                "D: [LIBTARNEX] HTTP POST is sent, transaction ID: 4",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 3 error= false",
                "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 4 error= false",
                "D: [LIBTARNEX] MMS sending completed, error: 200 response PDU size: 8",
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
        QCOMPARE(progressLines.last(), QStringLiteral("D: [LIBTARNEX] MMS sending progress,  5  of  5"));
        QCOMPARE(progress.last(), QVariantList({ 5, 5 }));
    }

    void stateNames_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("0") << 0 << "D: [HTTP] Connection state Unconnected ( 0 )";
        QTest::newRow("6") << 6 << "D: [HTTP] Connection state Closing ( 6 )";
        QTest::newRow("7") << 7 << "D: [HTTP] Connection state Unknown ( 7 )";
        QTest::newRow("-1") << -1 << "D: [HTTP] Connection state Unknown ( -1 )";
    }

    void stateNames()
    {
        QFETCH(int, state);
        QFETCH(QString, line);
        MmsSender s;
        QSignalSpy states(&s, &MmsSenderBase::connectionStateChanged);
        DebugFlag on(true);
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(&s, "httpConnectionState", Q_ARG(int, state)));
        QCOMPARE(log.lines(), QStringList({ line }));
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).toInt(), state);
    }

    // Without a response device the completion line must still be written.
    void nullResponseDevice()
    {
        MmsSender s;
        s.setMmsc(QStringLiteral("http://127.0.0.1/m"));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        QBuffer pdu;
        pdu.setData("pdu");
        pdu.open(QIODevice::ReadOnly);
        m_server->enqueue(HttpTestServer::reply(200, "dropped"));
        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(&pdu, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(log.matching(QStringLiteral("MMS sending completed")),
            QStringList({ "D: [LIBTARNEX] MMS sending completed, error: 200 response PDU size: 0" }));

        // No PDU device at all: an empty POST, not a crash.
        m_server->enqueue(HttpTestServer::reply(200));
        s.startMmsSend(nullptr, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.at(1).at(0).toInt(), 200);
        QCOMPARE(m_server->request(1).header("Content-Length"), QByteArray("0"));
        QVERIFY(log.contains(QStringLiteral("D: [LIBTARNEX] Start MMS sending, PDU size: 0")));
    }
};

QTEST_GUILESS_MAIN(TestSender)
#include "tst_sender.moc"
