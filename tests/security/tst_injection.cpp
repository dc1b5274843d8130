#include <QSignalSpy>
#include <QtTest>

#include "httprequestwriter.h"
#include "httptestserver.h"
#include "logcapture.h"
#include "qhttp.h"

class tst_Injection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostName_data();
    void hostName();
    void hostNameNeverReachesTheWire();
    void fieldValues_data();
    void fieldValues();
};

void tst_Injection::hostName_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("valid");
    QTest::newRow("name") << "mmsc.example.com" << true;
    QTest::newRow("ipv4") << "10.1.2.3" << true;
    QTest::newRow("ipv6") << "fe80::1" << true;
    QTest::newRow("crlf") << "a\r\nX-Evil: 1" << false;
    QTest::newRow("lf") << "a\nb" << false;
    QTest::newRow("nul") << QString::fromLatin1("a\0b", 3) << false;
    QTest::newRow("control") << "a\x01" << false;
    QTest::newRow("blank") << "a b" << false;
    QTest::newRow("path") << "a/b" << false;
    QTest::newRow("userinfo") << "user@a" << false;
    QTest::newRow("non-ascii") << QString::fromUtf8("b\xc3\xbc.example") << false;
    QTest::newRow("empty") << "" << false;
}

// A host name is written into the Host field and, through a proxy, into the
// request line: the request is refused before a byte is built.
void tst_Injection::hostName()
{
    QFETCH(QString, host);
    QFETCH(bool, valid);
    QCOMPARE(HttpRequestWriter::isValidHost(host), valid);

    HttpRequestWriter::Route route;
    route.host = host;
    route.proxyHost = QStringLiteral("proxy");
    QByteArray head;
    QString problem;
    const bool built = HttpRequestWriter::head(QHttpRequestHeader(QStringLiteral("GET"), QStringLiteral("/x")),
                                               route, false, 0, &head, &problem);
    QCOMPARE(built, valid);
    if (built)
        QVERIFY(head.startsWith("GET http://"));
    else
        QVERIFY(head.isEmpty());
}

void tst_Injection::hostNameNeverReachesTheWire()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
    LogCapture log;

    QHttp http;
    QSignalSpy finished(&http, &QHttp::requestFinished);
    // Through a proxy no name lookup stands in the way: only the check does.
    http.setProxy(HttpTestServer::host(), server.port());
    http.setHost(QStringLiteral("mmsc\r\nX-Evil: 1\r\n"), server.port());
    const int id = http.request(QHttpRequestHeader(QStringLiteral("GET"), QStringLiteral("/")));
    QTRY_COMPARE(finished.count(), 3);
    QCOMPARE(finished.at(2).at(0).toInt(), id);
    QCOMPARE(finished.at(2).at(1).toBool(), true);
    QCOMPARE(http.error(), QHttp::HostNotFound);
    QCOMPARE(server.connectionCount(), 0);
}

void tst_Injection::fieldValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("kept");
    QTest::newRow("plain") << "User-Agent" << "Handset/1.0 (X; Y)" << true;
    QTest::newRow("crlf") << "User-Agent" << "a\r\nX-Evil: 1" << false;
    QTest::newRow("cr") << "x-wap-profile" << "http://a/\rb" << false;
    QTest::newRow("lf") << "x-wap-profile" << "http://a/\nb" << false;
    QTest::newRow("nul") << "User-Agent" << QString::fromLatin1("a\0b", 3) << false;
    QTest::newRow("bad name") << "X Evil" << "1" << false;
    QTest::newRow("name with colon") << "X-Evil: 1\r\nY" << "1" << false;
}

void tst_Injection::fieldValues()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(bool, kept);

    LogCapture log;
    QHttpRequestHeader header(QStringLiteral("POST"), QStringLiteral("/mms"));
    header.setContentType(QStringLiteral("application/vnd.wap.mms-message"));
    header.addValue(name, value);
    header.setValue(QStringLiteral("Host"), QStringLiteral("mmsc.example.com"));
    HttpRequestWriter::Route route;
    route.host = QStringLiteral("mmsc.example.com");
    QByteArray head;
    QString problem;
    QVERIFY(HttpRequestWriter::head(header, route, true, 3, &head, &problem));

    QVERIFY(head.endsWith("\r\n\r\n"));
    QCOMPARE(head.indexOf("\r\n\r\n"), head.size() - 4);
    QVERIFY(!head.contains('\0'));
    QVERIFY(!head.contains("X-Evil"));
    const QList<QByteArray> lines = head.left(head.size() - 4).split('\n');
    QCOMPARE(lines.size(), kept ? 5 : 4);
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QVERIFY(line.endsWith('\r'));
    QCOMPARE(log.contains(QStringLiteral("header field dropped")), !kept);
}

QTEST_GUILESS_MAIN(tst_Injection)
#include "tst_injection.moc"
