// A host name can never forge a header field or a request, and no other
// process can send one through the library.
#include <QProcess>

#include "httpsyntax.h"
#include "httptestserver.h"
#include "logcapture.h"
#include "nmrelay_p.h"
#include "qhttp.h"
#include "transfer.h"

class tst_Injection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qputenv("HOME", "/nonexistent"); } // no settings file: the defaults

    void hostName_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("valid");
        QTest::newRow("name") << "mmsc.example.com" << true;
        QTest::newRow("ipv6") << "fe80::1" << true;
        QTest::newRow("crlf") << "a\r\nX-Evil: 1" << false;
        QTest::newRow("nul") << QString::fromLatin1("a\0b", 3) << false;
        QTest::newRow("control") << "a\x01" << false;
        QTest::newRow("blank") << "a b" << false;
        QTest::newRow("path") << "a/b" << false;
        QTest::newRow("userinfo") << "user@a" << false;
        QTest::newRow("non-ascii") << QString::fromUtf8("b\xc3\xbc.example") << false;
        QTest::newRow("empty") << "" << false;
    }

    // A host name goes into the Host field and, through a proxy (where no
    // name lookup stands in the way), into the request line: a bad one is
    // refused before a connection is made.
    void hostName()
    {
        QFETCH(QString, host);
        QFETCH(bool, valid);
        QCOMPARE(HttpSyntax::isValidHost(host), valid);
        HttpTestServer proxy;
        QVERIFY(proxy.listen());
        proxy.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        QHttp http;
        QSignalSpy finished(&http, &QHttp::requestFinished);
        http.setProxy(HttpTestServer::host(), proxy.port());
        http.setHost(host, QHttp::ConnectionModeHttp, 8002);
        const int id = http.request(QHttpRequestHeader(QStringLiteral("GET"), QStringLiteral("/x")));
        QTRY_COMPARE(finished.size(), 3);
        QCOMPARE(finished.last(), QVariantList({ id, !valid }));
        QCOMPARE(http.error(), valid ? QHttp::NoError : QHttp::HostNotFound);
        QCOMPARE(proxy.connectionCount(), valid ? 1 : 0);
    }

    // The manager's variants reach the network through a relay on loopback,
    // where any local user can connect: it serves this process only, or it
    // would be an open way into the MMS network.
    void relayServesThisProcessOnly()
    {
        HttpTestServer server;
        QVERIFY(server.listen());
        const QByteArray answer = HttpTestServer::reply(200, "ok");
        server.setDefaultResponse(HttpTestResponse(answer));
        Transfer receiver(false, true);
        Device out;
        receiver.start(server.url(QStringLiteral("/own")), 0, &out);
        QVERIFY(receiver.done.wait(20000));
        QCOMPARE(receiver.code(), 200);
        auto *relay = receiver.object->findChild<NmRelay *>();
        QVERIFY(relay);
        // What it counts is what crossed the network, its own marks left out.
        QCOMPARE(relay->bytesSent(), qint64(server.request(0).raw.size()));
        QCOMPARE(relay->bytesReceived(), qint64(answer.size()));

        // Any other client of its port: curl, through the SOCKS5 route the transfer took.
        LogCapture log;
        QProcess curl;
        QSignalSpy ended(&curl, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        curl.start(QStringLiteral("curl"),
            { QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("10"), QStringLiteral("-x"),
                QStringLiteral("socks5h://127.0.0.1:%1").arg(relay->route().port()),
                server.url(QStringLiteral("/other")) });
        QVERIFY(ended.wait(20000)); // the relay answers in this event loop
        QVERIFY2(curl.exitCode() != 0, curl.readAll().constData());
        QCOMPARE(server.requestCount(), 1);
        QCOMPARE(log.matching(QStringLiteral("from another process")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Injection)
#include "tst_injection.moc"
