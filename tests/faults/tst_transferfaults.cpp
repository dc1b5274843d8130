// Every transfer variant against a server or proxy that fails at each phase
// of an exchange: a transfer ends exactly once, never with success unless the
// whole answer arrived, and the caller's device holds a prefix of the body.
#include <QBuffer>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "httptestserver.h"
#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"
#include "qhttp.h"

namespace {
enum Variant { Sender, SenderNM, Receiver, ReceiverNM };
const char *const Names[] = { "MmsSender", "MmsSenderNM", "MmsReceiver", "MmsReceiverNM" };
const QByteArray Body = HttpTestServer::pattern(20000);
const QString Mmsc = QStringLiteral("http://mmsc.invalid:8002/mms"); // reachable only through a proxy

bool isSocket(int v)
{
    return v == Sender || v == Receiver;
}

QObject *create(int v)
{
    if (v == Sender || v == SenderNM)
        return v == Sender ? static_cast<QObject *>(new MmsSender) : new MmsSenderNM;
    return v == Receiver ? static_cast<QObject *>(new MmsReceiver) : new MmsReceiverNM;
}

void addVariants(bool withProxy)
{
    QTest::addColumn<int>("variant");
    QTest::addColumn<bool>("viaProxy");
    for (int v = Sender; v <= ReceiverNM; ++v)
        for (bool viaProxy : { false, true })
            if (withProxy || !viaProxy)
                QTest::addRow("%s%s", Names[v], withProxy ? (viaProxy ? " proxy" : " direct") : "")
                    << v << viaProxy;
}

// One transfer of any variant: a sender POSTs `pdu` to the URL (its port as
// "mmscPort"), a receiver GETs it; the answer goes to `out`.
struct Transfer
{
    Transfer(int v, const QString &proxy = QString(), int proxyPort = 0)
        : sender(v == Sender || v == SenderNM)
        , pduBytes(HttpTestServer::pattern(3000))
        , pdu(&pduBytes)
        , object(create(v))
        , completed(object.get(), sender ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)))
    {
        pdu.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        object->setProperty("proxy", proxy);
        object->setProperty("proxyPort", proxyPort);
    }
    void start(const QString &url)
    {
        if (!sender) {
            static_cast<MmsReceiverBase *>(object.get())->downloadMms(url, &out);
            return;
        }
        auto *s = static_cast<MmsSenderBase *>(object.get());
        s->setMmsc(url);
        s->setMmscPort(QUrl(url).port(80));
        s->startMmsSend(&pdu, &out);
    }
    int code() const { return completed.at(0).at(0).toInt(); }

    const bool sender;
    QByteArray pduBytes;
    QBuffer pdu, out; // outlive the object
    const std::unique_ptr<QObject> object;
    QSignalSpy completed;
};

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
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

    // The server (or the server playing the proxy) closes at each phase of
    // its answer. The network-manager variants may retry; every try meets
    // the same fault.
    void cutAtEachPhase_data()
    {
        QTest::addColumn<int>("variant");
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
            { "closed mid-body", length, head + Body.size() / 2, QHttp::WrongContentLength },
            { "closed one byte short", length, length.size() - 1, QHttp::WrongContentLength },
            { "chunked, closed in a chunk", chunked, chunked.indexOf("\r\n\r\n") + 5000,
                QHttp::WrongContentLength },
            { "chunked, closed before the last chunk", chunked, chunked.size() - 5,
                QHttp::WrongContentLength },
        };
        for (const auto &p : phases)
            for (int v = Sender; v <= ReceiverNM; ++v)
                for (bool viaProxy : { false, true })
                    QTest::addRow("%s %s %s", Names[v], viaProxy ? "proxy" : "direct", p.phase)
                        << v << viaProxy << p.script << p.cutAt << p.socketCode;
    }

    void cutAtEachPhase()
    {
        QFETCH(int, variant);
        QFETCH(bool, viaProxy);
        QFETCH(QByteArray, script);
        QFETCH(qint64, cutAt);
        QFETCH(int, socketCode);
        HttpTestServer server;
        QVERIFY(server.listen());
        HttpTestResponse response(script);
        server.setDefaultResponse(cutAt >= 0 ? response.closeAfter(cutAt) : response.close());
        Transfer t(variant, viaProxy ? HttpTestServer::host() : QString(), viaProxy ? server.port() : 0);
        t.start(viaProxy ? Mmsc : server.url(QStringLiteral("/mms")));
        QTRY_COMPARE_WITH_TIMEOUT(t.completed.count(), 1, 20000);

        QVERIFY(isSocket(variant) ? server.requestCount() == 1 : server.requestCount() >= 1);
        if (viaProxy)
            QVERIFY(server.request(0).target.startsWith(Mmsc.toLatin1()));
        if (t.sender)
            QCOMPARE(server.request(0).body, t.pduBytes);
        if (socketCode == 0) {
            QCOMPARE(t.code(), 200);
            QCOMPARE(t.out.data(), Body);
        } else {
            QVERIFY2(t.code() != 200, "a cut-off answer reported as delivered");
            if (isSocket(variant))
                QCOMPARE(t.code(), socketCode);
            QVERIFY(Body.startsWith(t.out.data())); // all of it, when only the last chunk is missing
        }
        // Nothing more after the end, also not once the server is gone.
        server.closeAllConnections();
        QCoreApplication::processEvents();
        QCOMPARE(t.completed.count(), 1);
    }

    void refused_data() { addVariants(true); }

    // Nobody listening at the server or at the proxy (Qt reports a refusing
    // proxy as a refused connection).
    void refused()
    {
        QFETCH(int, variant);
        QFETCH(bool, viaProxy);
        const quint16 port = closedPort();
        Transfer t(variant, viaProxy ? QStringLiteral("127.0.0.1") : QString(), viaProxy ? port : 0);
        t.start(viaProxy ? Mmsc : QStringLiteral("http://127.0.0.1:%1/mms").arg(port));
        QTRY_COMPARE_WITH_TIMEOUT(t.completed.count(), 1, 20000);
        QCOMPARE(t.code(),
            isSocket(variant) ? int(QHttp::ConnectionRefused) : int(QNetworkReply::ConnectionRefusedError));
        QVERIFY(t.out.data().isEmpty());
    }

    void proxyRefusesRequest_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<int>("status");
        for (int v = Sender; v <= ReceiverNM; ++v)
            for (int status : { 403, 407, 502 })
                QTest::addRow("%s %d", Names[v], status) << v << status;
    }

    // A proxy that answers the request itself with a refusal: a defined
    // failure, never success, and the proxy's page is not the message.
    void proxyRefusesRequest()
    {
        QFETCH(int, variant);
        QFETCH(int, status);
        HttpTestServer proxy;
        QVERIFY(proxy.listen());
        QList<QByteArray> fields;
        if (status == 407)
            fields << "Proxy-Authenticate: Basic realm=\"operator\"";
        proxy.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(status, "refused by proxy", fields)));
        Transfer t(variant, HttpTestServer::host(), proxy.port());
        t.start(Mmsc);
        QTRY_COMPARE_WITH_TIMEOUT(t.completed.count(), 1, 20000);
        QVERIFY(t.code() != 200 && t.code() != 0);
        if (isSocket(variant))
            QCOMPARE(t.code(), status == 407 ? int(QHttp::ProxyAuthenticationRequiredError) : status);
        QVERIFY(proxy.requestCount() >= 1);
    }

    void deviceClosedMidTransfer_data() { addVariants(false); }

    // The caller closes its device while the answer comes in: what it did not
    // get is not reported as delivered.
    void deviceClosedMidTransfer()
    {
        QFETCH(int, variant);
        HttpTestServer server;
        QVERIFY(server.listen());
        const QByteArray whole = HttpTestServer::reply(200, Body);
        const int firstPart = whole.indexOf("\r\n\r\n") + 4 + 1000;
        server.enqueue(
            HttpTestResponse().send(whole.left(firstPart)).waitForRelease().send(whole.mid(firstPart)));
        Transfer t(variant);
        t.start(server.url(QStringLiteral("/mms")));
        QVERIFY(server.waitForRequests(1, 20000));
        // The socket variants write the body as it arrives (while the server
        // holds back the rest); the manager only at the end.
        if (isSocket(variant))
            QTRY_VERIFY_WITH_TIMEOUT(t.out.data().size() > 0, 20000);
        t.out.close();
        server.release();
        QTRY_COMPARE_WITH_TIMEOUT(t.completed.count(), 1, 20000);
        QCOMPARE(
            t.code(), isSocket(variant) ? int(QHttp::UnknownError) : int(QNetworkReply::UnknownContentError));
        QVERIFY(Body.startsWith(t.out.data()));
    }
};

QTEST_GUILESS_MAIN(tst_TransferFaults)
#include "tst_transferfaults.moc"
