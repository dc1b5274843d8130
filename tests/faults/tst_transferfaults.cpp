// Every transfer variant against a server or proxy that fails at each phase
// of an exchange. Whatever happens, a transfer ends exactly once, never with
// success unless the whole answer arrived, and what reached the caller's
// device is the start of what was sent: nothing reordered, nothing invented.
#include <QBuffer>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "httptestserver.h"
#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"
#include "qhttp.h"

namespace {

enum Variant { Sender, SenderNM, Receiver, ReceiverNM };
const char *const VariantNames[] = { "MmsSender", "MmsSenderNM", "MmsReceiver", "MmsReceiverNM" };

bool isSocketVariant(Variant v)
{
    return v == Sender || v == Receiver;
}

// One transfer object of any variant behind one interface.
class Transfer
{
public:
    explicit Transfer(Variant v)
        : m_variant(v)
    {
        switch (v) {
        case Sender:
            m_object = new MmsSender;
            break;
        case SenderNM:
            m_object = new MmsSenderNM;
            break;
        case Receiver:
            m_object = new MmsReceiver;
            break;
        case ReceiverNM:
            m_object = new MmsReceiverNM;
            break;
        }
        m_completed.reset(new QSignalSpy(m_object, isSender() ? SIGNAL(mmsSendComplete(int))
                                                              : SIGNAL(downloadCompleted(int))));
    }
    ~Transfer() { delete m_object; }

    bool isSender() const { return m_variant == Sender || m_variant == SenderNM; }
    QObject *object() const { return m_object; }
    QSignalSpy &completed() { return *m_completed; }

    void setProxy(const QString &host, int port)
    {
        m_object->setProperty("proxy", host);
        m_object->setProperty("proxyPort", port);
    }

    // url must carry its port: the senders take it from "mmscPort".
    void start(const QString &url, QIODevice *pdu, QIODevice *out)
    {
        if (isSender()) {
            auto *s = static_cast<MmsSenderBase *>(m_object);
            s->setMmsc(url);
            s->setMmscPort(QUrl(url).port(80));
            s->startMmsSend(pdu, out);
        } else {
            static_cast<MmsReceiverBase *>(m_object)->downloadMms(url, out);
        }
    }

    void abort()
    {
        if (isSender())
            static_cast<MmsSenderBase *>(m_object)->abort();
        else
            static_cast<MmsReceiverBase *>(m_object)->abort();
    }

private:
    Variant m_variant;
    QObject *m_object = nullptr;
    QScopedPointer<QSignalSpy> m_completed;
};

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

const QByteArray Body = HttpTestServer::pattern(20000);

} // namespace

Q_DECLARE_METATYPE(Variant)

class tst_TransferFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    void addVariantRows(const char *phase, const QByteArray &script, qint64 cutAt, int socketCode);

private Q_SLOTS:
    void initTestCase();
    void cutAtEachPhase_data();
    void cutAtEachPhase();
    void refused_data();
    void refused();
    void proxyRefusesRequest_data();
    void proxyRefusesRequest();
    void deviceClosedMidTransfer_data();
    void deviceClosedMidTransfer();
};

void tst_TransferFaults::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path())); // no settings file: built-in identity
}

void tst_TransferFaults::addVariantRows(const char *phase, const QByteArray &script, qint64 cutAt,
                                        int socketCode)
{
    for (int v = Sender; v <= ReceiverNM; ++v) {
        for (bool viaProxy : { false, true }) {
            QTest::addRow("%s %s %s", VariantNames[v], viaProxy ? "proxy" : "direct", phase)
                << Variant(v) << viaProxy << script << cutAt << socketCode;
        }
    }
}

void tst_TransferFaults::cutAtEachPhase_data()
{
    QTest::addColumn<Variant>("variant");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<qint64>("cutAt"); // -1: the whole script, then close
    QTest::addColumn<int>("socketCode"); // expected of the socket variants; 0: success

    const QByteArray length = HttpTestServer::reply(200, Body);
    const int head = length.indexOf("\r\n\r\n") + 4;
    const QByteArray chunked = HttpTestServer::chunkedReply(200, Body, 4096);
    const int chunkedHead = chunked.indexOf("\r\n\r\n") + 4;

    addVariantRows("whole answer", length, -1, 0);
    addVariantRows("closed before answering", QByteArray(), 0, QHttp::UnexpectedClose);
    addVariantRows("closed in the status line", length, 7, QHttp::UnexpectedClose);
    addVariantRows("closed in the header", length, head - 3, QHttp::UnexpectedClose);
    addVariantRows("closed after the header", length, head, QHttp::WrongContentLength);
    addVariantRows("closed mid-body", length, head + Body.size() / 2, QHttp::WrongContentLength);
    addVariantRows("closed one byte short", length, length.size() - 1, QHttp::WrongContentLength);
    addVariantRows("chunked, closed in a chunk", chunked, chunkedHead + 5000, QHttp::WrongContentLength);
    addVariantRows("chunked, closed before the last chunk", chunked, chunked.size() - 5,
                   QHttp::WrongContentLength);
}

void tst_TransferFaults::cutAtEachPhase()
{
    QFETCH(Variant, variant);
    QFETCH(bool, viaProxy);
    QFETCH(QByteArray, script);
    QFETCH(qint64, cutAt);
    QFETCH(int, socketCode);

    HttpTestServer server;
    QVERIFY(server.listen());
    HttpTestResponse response(script);
    if (cutAt >= 0)
        response.closeAfter(cutAt);
    else
        response.close();
    // The network-manager variants may try again on a new connection; every
    // try meets the same fault.
    server.setDefaultResponse(response);

    Transfer t(variant);
    QString url = server.url(QStringLiteral("/mms"));
    if (viaProxy) {
        // The server plays the proxy: the same answer, cut the same way.
        t.setProxy(HttpTestServer::host(), server.port());
        url = QStringLiteral("http://mmsc.invalid:8002/mms");
    }
    QByteArray pduBytes = HttpTestServer::pattern(3000);
    QBuffer pdu(&pduBytes);
    QVERIFY(pdu.open(QIODevice::ReadOnly));
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));

    t.start(url, &pdu, &out);
    QTRY_COMPARE_WITH_TIMEOUT(t.completed().count(), 1, 20000);
    const int code = t.completed().at(0).at(0).toInt();

    QVERIFY(server.requestCount() >= 1);
    if (isSocketVariant(variant))
        QCOMPARE(server.requestCount(), 1);
    if (viaProxy)
        QVERIFY(server.request(0).target.startsWith("http://mmsc.invalid:8002/mms"));
    if (t.isSender())
        QCOMPARE(server.request(0).body, pduBytes);

    if (socketCode == 0) {
        QCOMPARE(code, 200);
        QCOMPARE(out.data(), Body);
    } else {
        QVERIFY2(code != 200, "a cut-off answer reported as delivered");
        if (isSocketVariant(variant))
            QCOMPARE(code, socketCode);
        // Bytes that arrived are the start of the body, never more.
        QVERIFY(Body.startsWith(out.data()));
        // (All of the data can be in when only the last chunk is missing.)
    }
    // Nothing more after the end, also not once the server is gone.
    server.closeAllConnections();
    QCoreApplication::processEvents();
    QCOMPARE(t.completed().count(), 1);
}

void tst_TransferFaults::refused_data()
{
    QTest::addColumn<Variant>("variant");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<int>("expected");
    QTest::newRow("MmsSender direct") << Sender << false << int(QHttp::ConnectionRefused);
    QTest::newRow("MmsSender proxy") << Sender << true << int(QHttp::ConnectionRefused);
    QTest::newRow("MmsReceiver direct") << Receiver << false << int(QHttp::ConnectionRefused);
    QTest::newRow("MmsReceiver proxy") << Receiver << true << int(QHttp::ConnectionRefused);
    QTest::newRow("MmsSenderNM direct") << SenderNM << false << int(QNetworkReply::ConnectionRefusedError);
    // Qt reports a refusing proxy as a refused connection.
    QTest::newRow("MmsSenderNM proxy") << SenderNM << true << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("MmsReceiverNM direct") << ReceiverNM << false << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("MmsReceiverNM proxy") << ReceiverNM << true << int(QNetworkReply::ConnectionRefusedError);
}

// Nobody listening at the server or at the proxy.
void tst_TransferFaults::refused()
{
    QFETCH(Variant, variant);
    QFETCH(bool, viaProxy);
    QFETCH(int, expected);

    const quint16 port = closedPort();
    Transfer t(variant);
    QString url = QStringLiteral("http://127.0.0.1:%1/mms").arg(port);
    if (viaProxy) {
        t.setProxy(QStringLiteral("127.0.0.1"), port);
        url = QStringLiteral("http://mmsc.invalid:8002/mms");
    }
    QByteArray pduBytes("pdu");
    QBuffer pdu(&pduBytes);
    QVERIFY(pdu.open(QIODevice::ReadOnly));
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    t.start(url, &pdu, &out);
    QTRY_COMPARE_WITH_TIMEOUT(t.completed().count(), 1, 20000);
    QCOMPARE(t.completed().at(0).at(0).toInt(), expected);
    QVERIFY(out.data().isEmpty());
}

void tst_TransferFaults::proxyRefusesRequest_data()
{
    QTest::addColumn<Variant>("variant");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("socketCode");
    for (int v = Sender; v <= ReceiverNM; ++v) {
        QTest::addRow("%s 403", VariantNames[v]) << Variant(v) << 403 << 403;
        QTest::addRow("%s 407", VariantNames[v])
            << Variant(v) << 407 << int(QHttp::ProxyAuthenticationRequiredError);
        QTest::addRow("%s 502", VariantNames[v]) << Variant(v) << 502 << 502;
    }
}

// A proxy that answers the request itself with a refusal: a defined
// failure, never success, and the proxy's page is not taken for the message.
void tst_TransferFaults::proxyRefusesRequest()
{
    QFETCH(Variant, variant);
    QFETCH(int, status);
    QFETCH(int, socketCode);

    HttpTestServer proxy;
    QVERIFY(proxy.listen());
    QList<QByteArray> fields;
    if (status == 407)
        fields << "Proxy-Authenticate: Basic realm=\"operator\"";
    proxy.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(status, "refused by proxy", fields)));

    Transfer t(variant);
    t.setProxy(HttpTestServer::host(), proxy.port());
    QByteArray pduBytes("pdu");
    QBuffer pdu(&pduBytes);
    QVERIFY(pdu.open(QIODevice::ReadOnly));
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    t.start(QStringLiteral("http://mmsc.invalid:8002/mms"), &pdu, &out);
    QTRY_COMPARE_WITH_TIMEOUT(t.completed().count(), 1, 20000);
    const int code = t.completed().at(0).at(0).toInt();
    QVERIFY(code != 200 && code != 0);
    if (isSocketVariant(variant))
        QCOMPARE(code, socketCode);
    QVERIFY(proxy.requestCount() >= 1);
}

void tst_TransferFaults::deviceClosedMidTransfer_data()
{
    QTest::addColumn<Variant>("variant");
    QTest::addColumn<int>("expected");
    QTest::newRow("MmsSender") << Sender << int(QHttp::UnknownError);
    QTest::newRow("MmsReceiver") << Receiver << int(QHttp::UnknownError);
    QTest::newRow("MmsSenderNM") << SenderNM << int(QNetworkReply::UnknownContentError);
    QTest::newRow("MmsReceiverNM") << ReceiverNM << int(QNetworkReply::UnknownContentError);
}

// The caller closes its device while the answer is coming in: what it did not
// get must not be reported as delivered.
void tst_TransferFaults::deviceClosedMidTransfer()
{
    QFETCH(Variant, variant);
    QFETCH(int, expected);

    HttpTestServer server;
    QVERIFY(server.listen());
    const QByteArray whole = HttpTestServer::reply(200, Body);
    const int firstPart = whole.indexOf("\r\n\r\n") + 4 + 1000;
    server.enqueue(HttpTestResponse().send(whole.left(firstPart)).waitForRelease().send(whole.mid(firstPart)));

    Transfer t(variant);
    QByteArray pduBytes("pdu");
    QBuffer pdu(&pduBytes);
    QVERIFY(pdu.open(QIODevice::ReadOnly));
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    t.start(server.url(QStringLiteral("/mms")), &pdu, &out);
    // The socket variants write as the body arrives: close once part of it
    // is in. The network-manager variants write only at the end: close once
    // the server has the request and is sending the first part.
    QVERIFY(server.waitForRequests(1, 20000));
    if (isSocketVariant(variant))
        QTRY_VERIFY_WITH_TIMEOUT(out.data().size() > 0, 20000);
    out.close();
    server.release();
    QTRY_COMPARE_WITH_TIMEOUT(t.completed().count(), 1, 20000);
    QCOMPARE(t.completed().at(0).at(0).toInt(), expected);
    QVERIFY(Body.startsWith(out.data()));
}

QTEST_GUILESS_MAIN(tst_TransferFaults)
#include "tst_transferfaults.moc"
