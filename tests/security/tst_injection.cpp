// What the network or a settings file controls can never forge a header
// field or a request, and no other process can send one through the library.
#include <QBuffer>
#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "httpsyntax.h"
#include "httptestserver.h"
#include "logcapture.h"
#include "nmrelay_p.h"
#include "qhttp.h"
#include "transfer.h"

class tst_Injection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral(".mms")));
    }

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

    // A host name goes into the Host field and, through a proxy, into the
    // request line: a bad one is refused before a connection is made. Through
    // a proxy no name lookup stands in the way: only the check does.
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

    // Line breaks and NULs in what the settings file puts into the request
    // (identity values, [headers] names and values, the UAProf field's name),
    // through each of the four transfers: left out, said so, never echoed raw.
    void settingsValues_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("warning");
        // The INI escapes \r, \n and \0 (and %0D, %0A in keys) become the characters.
        const QString breaks = QStringLiteral("line break or NUL"),
                      token = QStringLiteral("not an HTTP token");
        const struct
        {
            const char *name;
            QByteArray conf;
            QString warning;
        } confs[] = {
            { "CR LF in user agent, NUL in profile",
                "user_agent=\"UA/1\\r\\nX-Evil: 1\"\nprofile_url=\"http://p.example/\\0X-Evil: 1\"\n",
                breaks },
            { "NUL in user agent, request smuggled by LF in profile",
                "user_agent=\"UA\\0X-Evil: 1\"\nprofile_url=\"x\\n\\nGET /X-Evil HTTP/1.1\\nHost: evil\"\n",
                breaks },
            { "CR LF, lone CR, NUL in [headers] values",
                "[headers]\nX-A=\"1\\r\\nX-Evil: 1\"\nX-B=\"2\\rX-Evil: 1\"\nX-C=\"3\\0X-Evil: 1\"\n",
                breaks },
            { "line breaks in field names",
                "uaprof_header=\"X-P\\r\\nInjected: 1\"\n[headers]\nX-D%0D%0AInjected%3A%201=1\n", token },
        };
        const char *names[] = { "MmsSender", "MmsSenderNM", "MmsReceiver", "MmsReceiverNM" };
        for (int variant = 0; variant < 4; ++variant)
            for (const auto &conf : confs)
                QTest::addRow("%s, %s", names[variant], conf.name) << variant << conf.conf << conf.warning;
    }

    void settingsValues()
    {
        QFETCH(int, variant);
        QFETCH(QByteArray, conf);
        QFETCH(QString, warning);
        QFile file(m_home.filePath(QStringLiteral(".mms/profile.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(conf), conf.size());
        file.close();

        HttpTestServer server;
        QVERIFY(server.listen());
        server.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        LogCapture log;
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        Transfer t(variant < 2, variant % 2);
        t.start(server.url(QStringLiteral("/mms")), server.port(), &out);
        QVERIFY(t.done.wait(20000));
        QCOMPARE(t.code(), 200);

        QCOMPARE(server.requestCount(), 1);
        const HttpTestRequest request = server.request(0);
        QVERIFY(!request.malformed);
        QCOMPARE(request.target, QByteArray("/mms"));
        QVERIFY2(
            !request.raw.contains("X-Evil") && !request.raw.contains("Injected"), request.raw.constData());
        QVERIFY(!request.raw.contains('\0'));
        // The refusal is said; a refused value is never shown, and nothing
        // from the file reaches the log with its line breaks.
        QVERIFY(log.contains(warning));
        QCOMPARE(log.matching(QStringLiteral("X-Evil")), QStringList());
        for (const QString &line : log.lines())
            QVERIFY2(!line.contains(QLatin1Char('\r')) && !line.contains(QLatin1Char('\n'))
                    && !line.contains(QChar(0)),
                qPrintable(line));
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
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        receiver.start(server.url(QStringLiteral("/own")), 0, &out);
        QVERIFY(receiver.done.wait(20000));
        QCOMPARE(receiver.code(), 200);
        auto *relay = receiver.object->findChild<NmRelay *>();
        QVERIFY(relay);
        // What it counts is what crossed the network, its own marks left out.
        QCOMPARE(relay->bytesSent(), qint64(server.request(0).raw.size()));
        QCOMPARE(relay->bytesReceived(), qint64(answer.size()));

        for (const QNetworkProxy &route :
            { relay->route(), relay->route(HttpTestServer::host(), server.port()) }) {
            LogCapture log;
            QProcess curl;
            QSignalSpy ended(&curl, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            const QString proxy = QStringLiteral("%1://127.0.0.1:%2")
                                      .arg(route.type() == QNetworkProxy::Socks5Proxy ? "socks5h" : "http")
                                      .arg(route.port());
            curl.start(QStringLiteral("curl"),
                { QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("10"),
                    QStringLiteral("-x"), proxy, server.url(QStringLiteral("/other")) });
            QVERIFY(ended.wait(20000)); // the relay answers in this event loop
            QVERIFY2(curl.exitCode() != 0, curl.readAll().constData());
            QCOMPARE(server.requestCount(), 1);
            QCOMPARE(log.matching(QStringLiteral("from another process")).size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Injection)
#include "tst_injection.moc"
