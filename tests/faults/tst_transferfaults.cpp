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
const QByteArray Pdu = HttpTestServer::pattern(3000);
enum Route { Direct, Proxy, Tinyproxy };

// The port as "mmscPort" for a sender.
void start(Transfer &t, const QString &url, QIODevice *out)
{
    t.start(url, QUrl(url).port(80), out, Pdu);
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

    // A server or proxy that cuts the answer off, answers to break a client
    // (the parser's own rules: tests/http), refuses, or is not there. The
    // transfer ends once, never as success without the whole answer, the
    // device holding the answer or a prefix of the body; nothing is reported
    // after the end, also not once the peer is gone; the manager's retries
    // meet the same fault.
    void badPeer_data()
    {
        addKindColumns();
        QTest::addColumn<int>("route");
        QTest::addColumn<QByteArray>("answer"); // null: nobody listens
        QTest::addColumn<qint64>("cutAt"); // -1: all of it, then close; -2: all of it, connection kept
        QTest::addColumn<int>("socketCode"); // 0: any failure
        QTest::addColumn<int>("nmCode");
        QTest::addColumn<QByteArray>("stored"); // null: a prefix of the body
        const QByteArray length = HttpTestServer::reply(200, Body);
        const QByteArray chunked = HttpTestServer::chunkedReply(200, Body, 4096);
        const struct
        {
            const char *name;
            QByteArray answer;
            qint64 cutAt;
            int socketCode;
        } cuts[] = {
            { "whole answer", length, -1, 200 },
            { "closed in the header", length, length.indexOf("\r\n\r\n") + 1, QHttp::UnexpectedClose },
            { "closed one byte short", length, length.size() - 1, QHttp::WrongContentLength },
            { "chunked, closed before the last chunk", chunked, chunked.size() - 5,
                QHttp::WrongContentLength },
        };
        const QByteArray noAnswer;
        for (const auto &k : Kinds) {
            for (int route : { Direct, Proxy }) {
                const QByteArray via = route == Proxy ? "proxy, " : "direct, ";
                for (const auto &c : cuts)
                    kindRow(k, via + c.name)
                        << route << c.answer << c.cutAt << c.socketCode << (c.socketCode == 200 ? 200 : 0)
                        << (c.socketCode == 200 ? Body : QByteArray());
                kindRow(k, via + "nobody listening")
                    << route << noAnswer << qint64(-2) << int(QHttp::ConnectionRefused)
                    << int(QNetworkReply::ConnectionRefusedError) << QByteArray();
            }
            // The one the client handles itself, and any other.
            const QList<QByteArray> challenge = { "Proxy-Authenticate: Basic realm=\"operator\"" };
            kindRow(k, "proxy answers 407")
                << int(Proxy) << HttpTestServer::reply(407, Body.left(100), challenge) << qint64(-2)
                << int(QHttp::ProxyAuthenticationRequiredError) << 0 << QByteArray();
            kindRow(k, "proxy answers 502") << int(Proxy) << HttpTestServer::reply(502, Body.left(100))
                                            << qint64(-2) << 502 << 0 << QByteArray();
        }
        // Against the manager's variants, also behind a real proxy: MMS PDUs
        // are never content-coded (the bytes as sent, not 200 kB of zeros),
        // and what the parser refuses is no success.
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray deflated = qCompress(QByteArray(200000, '\0')).mid(4); // a zlib stream
        const QByteArray coded = ok + "Content-Encoding: deflate\r\nContent-Length: "
            + QByteArray::number(deflated.size()) + "\r\n\r\n";
        const QByteArray conflicting = ok + "Content-Length: 5\r\nContent-Length: 10\r\n\r\nhello";
        for (const auto &k : Kinds) {
            for (int route : { Direct, Proxy, Tinyproxy }) {
                if (!k.nm)
                    continue;
                const QByteArray via = route == Tinyproxy ? "tinyproxy, "
                    : route == Proxy                      ? "proxy, "
                                                          : "direct, ";
                kindRow(k, via + "coded body kept as sent")
                    << route << coded + deflated << qint64(-2) << 0 << 200 << deflated;
                if (route != Tinyproxy)
                    kindRow(k, via + "conflicting Content-Length")
                        << route << conflicting << qint64(-2) << 0 << int(QNetworkReply::ProtocolFailure)
                        << QByteArray("");
            }
        }
    }

    void badPeer()
    {
        FETCH_TRANSFER(t);
        QFETCH(int, route);
        QFETCH(QByteArray, answer);
        QFETCH(qint64, cutAt);
        QFETCH(int, socketCode);
        QFETCH(int, nmCode);
        QFETCH(QByteArray, stored);
        HttpTestServer server;
        QTcpServer probe; // a port nobody listens on once the probe is gone
        QVERIFY(answer.isNull() ? probe.listen(QHostAddress::LocalHost) : server.listen());
        const quint16 port = answer.isNull() ? probe.serverPort() : server.port();
        probe.close();
        HttpTestResponse response(answer);
        server.setDefaultResponse(cutAt >= 0 ? response.closeAfter(cutAt)
                : cutAt == -1                ? response.close()
                                             : response.waitForRelease());
        TinyproxyProcess tinyproxy;
        QString url = QStringLiteral("http://127.0.0.1:%1/mms").arg(port);
        if (route == Proxy) {
            t.setProxy(HttpTestServer::host(), port);
            url = Mmsc;
        } else if (route == Tinyproxy) {
            QVERIFY2(tinyproxy.start(), qPrintable(tinyproxy.errorString()));
            t.setProxy(HttpTestServer::host(), tinyproxy.port());
        }
        Device out;
        start(t, url, &out);
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);

        const int code = nm ? nmCode : socketCode;
        if (code)
            QCOMPARE(t.code(), code);
        else
            QVERIFY2(t.code() != 200 && t.code() != 0, "a failure reported as success");
        if (stored.isNull())
            QVERIFY(Body.startsWith(out.data())); // all of it, when only the last chunk is missing
        else
            QCOMPARE(out.data(), stored);
        if (!answer.isNull()) {
            QVERIFY(nm ? server.requestCount() >= 1 : server.requestCount() == 1);
            if (route == Proxy)
                QVERIFY(server.request(0).target.startsWith(Mmsc.toLatin1()));
            if (send)
                QCOMPARE(server.request(0).body, Pdu);
            if (nm)
                QCOMPARE(server.request(0).header("Accept-Encoding"), QByteArray("identity"));
        }
        server.release();
        server.closeAllConnections();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.progress.count(), t.progressAtEnd);
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
