// The four transfer classes (MmsSender, MmsSenderNM, MmsReceiver,
// MmsReceiverNM) against the shared test server and a real forward proxy.
// Behaviour they share runs from one table over all four; what differs
// (codes, abort, debug lines) is a column or a test of its own.
#include <QBuffer>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>
#include <list>
#include <memory>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"
#include "tarnexconfig_p.h"
#include "tinyproxyprocess.h"
#include "transfertest.h"

namespace {
const QByteArray s_ua = "Phone/1.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P1.xml";
const QByteArray s_identity = "User-Agent: " + s_ua + "\r\nx-wap-profile: " + s_profile + "\r\n";
const QString s_ignore = QStringLiteral("[LIBTARNEX] MMS sending completed. Ignore response");

QObject *create(bool send, bool nm)
{
    if (send)
        return nm ? static_cast<QObject *>(new MmsSenderNM) : new MmsSender;
    return nm ? static_cast<QObject *>(new MmsReceiverNM) : new MmsReceiver;
}

// One of the four behind one face: a sender POSTs a PDU to `address` (and
// "mmscPort") and stores the answer in `device`; a receiver GETs into it.
struct Transfer
{
    Transfer(bool send, bool nm)
        : send(send)
        , object(create(send, nm))
        , done(object.get(), send ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)))
        , progress(object.get(), send ? SIGNAL(sendProgress(int, int)) : SIGNAL(downloadProgress(int, int)))
        , states(object.get(), SIGNAL(connectionStateChanged(int)))
    {
    }

    void start(const QString &address, int port, QIODevice *device, const QByteArray &body = "pdu")
    {
        if (!send) {
            static_cast<MmsReceiverBase *>(object.get())->downloadMms(address, device);
            return;
        }
        auto *s = static_cast<MmsSenderBase *>(object.get());
        s->setMmsc(address);
        s->setMmscPort(port);
        QBuffer &pdu = pdus.emplace_back();
        pdu.setData(body);
        pdu.open(QIODevice::ReadOnly);
        s->startMmsSend(&pdu, device);
    }
    void abort()
    {
        if (send)
            static_cast<MmsSenderBase *>(object.get())->abort();
        else
            static_cast<MmsReceiverBase *>(object.get())->abort();
    }
    int code(int i) const { return done.at(i).at(0).toInt(); }

    const bool send;
    std::list<QBuffer> pdus; // outlive the object that may still read them
    const std::unique_ptr<QObject> object;
    QSignalSpy done, progress, states;
};

struct Device : QBuffer
{
    Device() { open(QIODevice::WriteOnly); }
};

void addKinds()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<bool>("nm");
    QTest::newRow("socket sender") << true << false;
    QTest::newRow("nm sender") << true << true;
    QTest::newRow("socket receiver") << false << false;
    QTest::newRow("nm receiver") << false << true;
}

QString withPorts(QString s, int server, int proxy = 0)
{
    return s.replace(QLatin1String("SERVER"), QString::number(server))
        .replace(QLatin1String("PROXY"), QString::number(proxy));
}
} // namespace

#define FETCH_TRANSFER(t)                                                                                    \
    QFETCH(bool, send);                                                                                      \
    QFETCH(bool, nm);                                                                                        \
    Transfer t(send, nm)

class TestTransfer : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;
    HttpTestServer *m_server = nullptr;

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path);
    }
    void start(Transfer &t, const QString &path, QIODevice *device, const QByteArray &body = "pdu")
    {
        t.start(url(path), m_server->port(), device, body);
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

    void metaObject_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QStringList>("methods");
        QTest::newRow("MmsSender") << true << false
                                   << QStringList({ "httpRequestFinished(int,bool):requestId error",
                                          "httpDataSendProgress(int,int):done total",
                                          "httpConnectionState(int):state" });
        QTest::newRow("MmsSenderNM") << true << true
                                     << QStringList({ "networkManagerFinished(QNetworkReply*):reply",
                                            "httpDataSendProgress(qlonglong,qlonglong):done total" });
        QTest::newRow("MmsReceiver") << false << false
                                     << QStringList({ "httpRequestFinished(int,bool):requestId error",
                                            "httpDataReceiveProgress(int,int):done total",
                                            "httpConnectionState(int):state" });
        QTest::newRow("MmsReceiverNM") << false << true
                                       << QStringList({ "networkManagerFinished(QNetworkReply*):",
                                              "httpDataReceiveProgress(qlonglong,qlonglong):done total" });
    }

    void metaObject()
    {
        FETCH_TRANSFER(t);
        QFETCH(QStringList, methods);
        const QMetaObject *mo = t.object->metaObject();
        QCOMPARE(mo->className(), QTest::currentDataTag());
        QCOMPARE(
            mo->superClass(), send ? &MmsSenderBase::staticMetaObject : &MmsReceiverBase::staticMetaObject);
        QCOMPARE(ownMethods(mo), methods);
        QVERIFY(t.object->setProperty("proxy", QStringLiteral("proxy.example")));
        send ? static_cast<MmsSenderBase *>(t.object.get())->setProxyPort(8080)
             : static_cast<MmsReceiverBase *>(t.object.get())->setProxyPort(8080);
        QCOMPARE(send ? static_cast<MmsSenderBase *>(t.object.get())->proxy()
                      : static_cast<MmsReceiverBase *>(t.object.get())->proxy(),
            QStringLiteral("proxy.example"));
        QCOMPARE(t.object->property("proxyPort").toInt(), 8080);
    }

    // The socket variants byte for byte. The target is path and query; the
    // sender goes to "mmscPort", the receiver to the URL's port; Host names
    // the host alone (an IPv6 literal in brackets); identity headers follow
    // the settings file as it is at the transfer.
    void socketWire_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("identity");
        auto row = [](const char *name, bool send, const char *address, const QByteArray &target,
                       const QByteArray &conf = QByteArray(), const QByteArray &identity = s_identity) {
            QTest::newRow(name) << send << QString::fromLatin1(address) << conf << target << identity;
        };
        row("send: query kept, fragment and URL port dropped", true,
            "http://127.0.0.1:1/mms/send?x=1&y=a%20b#frag", "/mms/send?x=1&y=a%20b");
        row("send: host only", true, "http://127.0.0.1", "/");
        row("send: host and query", true, "http://127.0.0.1?id=3", "/?id=3");
        row("send: https still plain", true, "https://127.0.0.1/s", "/s");
        row("send: IPv6 host", true, "http://[::1]/m", "/m");
        row("send: no file", true, "http://127.0.0.1/m", "/m", "(none)",
            "User-Agent: " TARNEX_DEFAULT_USER_AGENT "\r\nx-wap-profile: " TARNEX_DEFAULT_PROFILE_URL "\r\n");
        row("send: empty user agent", true, "http://127.0.0.1/m", "/m", "user_agent=\nprofile_url=p\n",
            "x-wap-profile: p\r\n");
        row("send: quoted commas", true, "http://127.0.0.1/m", "/m",
            "user_agent=\"A/1 (X, Y), Z\"\nprofile_url=\n", "User-Agent: A/1 (X, Y), Z\r\n");
        row("send: forged header", true, "http://127.0.0.1/m", "/m",
            "user_agent=\"A\\r\\nX-Evil: 1\"\nprofile_url=\n", "");
        row("get: query kept, fragment dropped", false, "http://127.0.0.1:SERVER/get?id=7&t=a%20b#frag",
            "/get?id=7&t=a%20b");
        row("get: host only", false, "http://127.0.0.1:SERVER", "/");
        row("get: https still plain", false, "https://127.0.0.1:SERVER/x", "/x");
        row("get: IPv6 host", false, "http://[::1]:SERVER/m", "/m");
        row("get: empty identity", false, "http://127.0.0.1:SERVER/m", "/m", "user_agent=\nprofile_url=\n",
            "");
    }

    void socketWire()
    {
        QFETCH(bool, send);
        QFETCH(QString, address);
        QFETCH(QByteArray, conf);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, identity);
        if (!conf.isNull())
            QVERIFY(m_home.writeConf(conf == "(none)" ? QByteArray() : conf));
        const bool v6 = address.contains(QLatin1Char('['));
        Ipv6Peer peer;
        QVERIFY(!v6 || peer.listen());
        const int port = v6 ? peer.port() : m_server->port();
        Transfer t(send, false);
        Device device;
        const QByteArray pdu("\x8c\x80\x98\x00\r\n\xff tail", 12);
        m_server->enqueue(HttpTestServer::reply(200, "RESP"));
        t.start(withPorts(address, port), port, &device, pdu);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), v6 ? QByteArray() : QByteArray("RESP"));
        const QByteArray host = "Host: " + QByteArray(v6 ? "[::1]" : "127.0.0.1") + "\r\n";
        QCOMPARE(v6 ? peer.received : m_server->request(0).raw,
            send ? "POST " + target + " HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                    + identity + host + "Content-Length: 12\r\n\r\n" + pdu
                 : "GET " + target + " HTTP/1.1\r\n" + identity + host + "\r\n");
    }

    // The manager's POST: headers in order, the URL's own port when
    // "mmscPort" is 0, and every debug line of a send.
    void nmPost()
    {
        Transfer t(true, true);
        Device response;
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "RESP-PDU")));
        DebugFlag on(true);
        LogCapture log;
        t.start(url(QStringLiteral("/mms?x=1#frag")), 0, &response,
            QByteArray("\x8c\x80\x98PDU\x00\r\nbytes", 13));
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        QCOMPARE(response.data(), QByteArray("RESP-PDU"));
        QCOMPARE(t.states.count(), 0);

        const HttpTestRequest r = m_server->request(0);
        QCOMPARE(r.method + ' ' + r.target + ' ' + r.version, QByteArray("POST /mms?x=1 HTTP/1.1"));
        QCOMPARE(r.body, t.pdus.front().data());
        QCOMPARE(namesAmong(r.headerNames(), { "User-Agent", "x-wap-profile", "Content-type" }),
            QList<QByteArray>({ "User-Agent", "x-wap-profile", "Content-type" }));
        QCOMPARE(r.header("User-Agent"), s_ua);
        QCOMPARE(r.header("x-wap-profile"), s_profile);
        QCOMPARE(r.headerValues("Content-type"), QList<QByteArray>({ "application/vnd.wap.mms-message" }));

        QStringList lines = log.lines(QtDebugMsg);
        const QStringList progress = lines.filter(QStringLiteral("MMS sending progress"));
        for (const QString &l : progress)
            lines.removeOne(l);
        QVERIFY(progress.contains(QStringLiteral("D: [LIBTARNEX] MMS sending progress,  13  of  13")));
        QString item;
        QDebug(&item) << static_cast<QObject *>(&response);
        QCOMPARE(lines.mid(0, 7),
            QStringList({ "D: [LIBTARNEX] Start MMS sending, PDU size: 13 " + item.trimmed(),
                "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
                "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"',
                "D: [LIBTARNEX] url is  \"" + url(QStringLiteral("/mms?x=1#frag")) + '"',
                // "mmscPort" as set, not the port used
                "D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : 0 \"/mms?x=1\"  via proxy  \"\" : 0",
                "D: [LIBTARNEX] Waiting for initial reply", "D: [LIBTARNEX] HTTP POST is sent " }));
        QCOMPARE(lines.size(), 9);
        QVERIFY2(
            QRegularExpression(
                QStringLiteral(
                    "^D: \\[LIBTARNEX\\] HTTP transaction finished  QNetworkReply\\w*\\(0x[0-9a-f]+\\)$"))
                .match(lines.at(7))
                .hasMatch(),
            qPrintable(lines.at(7)));
        QCOMPARE(lines.at(8), QStringLiteral("D: [LIBTARNEX] MMS sending completed, response PDU size: 8"));
        QCOMPARE(log.lines(QtWarningMsg), QStringList());

        // A non-zero "mmscPort" wins over the URL's; no PDU device: an empty POST.
        static_cast<MmsSenderNM *>(t.object.get())->setMmsc(QStringLiteral("http://127.0.0.1:1/x"));
        static_cast<MmsSenderNM *>(t.object.get())->setMmscPort(m_server->port());
        static_cast<MmsSenderNM *>(t.object.get())->startMmsSend(nullptr, nullptr);
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(1), 200);
        QCOMPARE(m_server->request(1).target, QByteArray("/x"));
        QCOMPARE(m_server->request(1).bodySize, 0);
    }

    // The manager's GET with the headers in order, and every debug line.
    void nmGet()
    {
        Transfer t(false, true);
        Device device;
        const QByteArray pdu = HttpTestServer::pattern(70000);
        m_server->enqueue(HttpTestServer::reply(200, pdu));
        DebugFlag on(true);
        LogCapture log;
        start(t, QStringLiteral("/get/x?id=7#frag"), &device);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), pdu);
        QCOMPARE(t.states.count(), 0);
        QCOMPARE(t.progress.last(), QVariantList({ 70000, 70000 }));

        const HttpTestRequest req = m_server->request(0);
        QCOMPARE(req.method + ' ' + req.target, QByteArray("GET /get/x?id=7"));
        QCOMPARE(namesAmong(req.headerNames(), { "User-Agent", "x-wap-profile", "Content-Type" }),
            QList<QByteArray>({ "User-Agent", "x-wap-profile" }));
        QCOMPARE(req.header("User-Agent"), s_ua);
        QCOMPARE(req.header("x-wap-profile"), s_profile);
        QCOMPARE(req.bodySize, 0);

        QStringList lines = log.lines(QtDebugMsg);
        const QStringList progress = lines.filter(QStringLiteral("MMS download progress"));
        for (const QString &l : progress)
            lines.removeOne(l);
        QCOMPARE(progress.last(), QStringLiteral("D: [LIBTARNEX] MMS download progress,  70000  of  70000"));
        QCOMPARE(lines,
            QStringList({
                "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
                "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"',
                withPorts(QStringLiteral("D: [LIBTARNEX] Sending HTTP GET to: \"127.0.0.1\" : SERVER "
                                         "\"/get/x?id=7\" via proxy \"\" : 0"),
                    m_server->port()),
                "D: [LIBTARNEX] HTTP transaction finished",
                "D: [LIBTARNEX] MMS download completed, error: 0 response PDU size: 70000",
            }));
    }

    void settingsEditedBetweenTransfers_data() { addKinds(); }

    void settingsEditedBetweenTransfers()
    {
        FETCH_TRANSFER(t);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200)));
        Device first, second;
        start(t, QStringLiteral("/m"), &first);
        QVERIFY(t.done.wait());
        QVERIFY(m_home.setIdentity("Edited/2", "http://p.example/edited.xml"));
        start(t, QStringLiteral("/m"), &second);
        QVERIFY(t.done.wait());
        QCOMPARE(m_server->request(0).header("User-Agent"), s_ua);
        QCOMPARE(m_server->request(1).header("User-Agent"), QByteArray("Edited/2"));
        QCOMPARE(m_server->request(1).header("x-wap-profile"), QByteArray("http://p.example/edited.xml"));
    }

    // Any answer ends the transfer once with the variant's code, no debug
    // line while the flag is off; a failing device is no success.
    void outcomes_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("deviceFails");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("warning");
        const QByteArray ten = HttpTestServer::reply(200, "0123456789");
        auto row
            = [](const char *name, bool send, bool nm, const QByteArray &answer, int code,
                  const QByteArray &stored, bool deviceFails = false, const QString &warning = QString()) {
                  QTest::newRow(name) << send << nm << answer << deviceFails << code << stored << warning;
              };
        row("socket send 200", true, false, HttpTestServer::reply(200, "conf"), 200, "conf");
        row("socket send 404", true, false, HttpTestServer::reply(404, "no mmsc"), 404, "no mmsc");
        row("socket send 500", true, false, HttpTestServer::reply(500, "broken"), 500, "broken");
        row("socket send chunked", true, false, HttpTestServer::chunkedReply(200, "0123456789", 3), 200,
            "0123456789");
        row("socket send cut-off body", true, false, ten.chopped(4), 6, "012345");
        row("socket send closed before answer", true, false, QByteArray(), 4, QByteArray());
        row("socket send failing device", true, false, ten, 1, QByteArray(), true);
        row("nm send 200", true, true, HttpTestServer::reply(200, "conf"), 200, "conf");
        row("nm send 200 empty", true, true, HttpTestServer::reply(200), 200, QByteArray(), false, s_ignore);
        // HTTP error statuses arrive as the manager's errors; the body is not
        // handed on as if it were the MMSC's answer.
        row("nm send 404", true, true, HttpTestServer::reply(404, "not here"), 203, QByteArray());
        row("nm send 500", true, true, HttpTestServer::reply(500, "broken"), 401, QByteArray());
        row("nm send cut-off body", true, true, ten.chopped(4), 2, QByteArray());
        row("nm send failing device", true, true, ten, 299, QByteArray(), true,
            "[LIBTARNEX] Could not store the MMSC's response");
        row("socket get 404 page in device", false, false, HttpTestServer::reply(404, "expired"), 404,
            "expired");
        row("socket get close-delimited", false, false,
            HttpTestServer::closeDelimitedReply(200, "until close"), 200, "until close");
        row("socket get cut-off body", false, false, ten.chopped(4), 6, "012345");
        row("socket get closed before answer", false, false, QByteArray(), 4, QByteArray());
        row("socket get malformed", false, false, "HTTP/1.1 abc\r\n\r\n", 5, QByteArray());
        row("socket get failing device", false, false, ten, 1, QByteArray(), true);
        row("nm get 200 empty", false, true, HttpTestServer::reply(200), 200, QByteArray());
        // The error page still reaches the device.
        row("nm get 404 page in device", false, true, HttpTestServer::reply(404, "gone"), 203, "gone");
        row("nm get 500", false, true, HttpTestServer::reply(500, "oops"), 401, "oops");
        row("nm get cut-off body", false, true, ten.chopped(4), 2, "012345");
        const QString store = QStringLiteral("[LIBTARNEX] Could not store the downloaded PDU");
        row("nm get failing device", false, true, ten, 299, QByteArray(), true, store);
        row("nm get failing device, 404 stays", false, true, HttpTestServer::reply(404, "x"), 203,
            QByteArray(), true, store);
    }

    void outcomes()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, answer);
        QFETCH(bool, deviceFails);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        QFETCH(QString, warning);
        QBuffer device;
        device.open(deviceFails ? QIODevice::ReadOnly : QIODevice::WriteOnly);
        m_server->enqueue(HttpTestResponse(answer).close());
        DebugFlag off(false);
        LogCapture log;
        start(t, QStringLiteral("/m"), &device);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        QCOMPARE(device.data(), stored);
        QCOMPARE(log.lines(QtDebugMsg), QStringList());
        if (nm && !deviceFails)
            QCOMPARE(log.lines(QtWarningMsg).size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(log.matching(warning).size(), 1);
    }

    // Client errors of the socket variants; a receiver without a port in the
    // URL goes to port 80, and the log says so.
    void socketClientErrors_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("code");
        const QString refused = QStringLiteral("http://127.0.0.1:%1/m").arg(closedPort());
        QTest::newRow("send refused") << true << refused << 3;
        QTest::newRow("send host not found") << true << "http://nosuchhost.invalid/m" << 2;
        QTest::newRow("send no host") << true << "not a url" << 2;
        QTest::newRow("get refused") << false << refused << 3;
        QTest::newRow("get host not found") << false << "http://nosuchhost.invalid/m" << 2;
        QTest::newRow("get not a url") << false << "::" << 2;
    }

    void socketClientErrors()
    {
        QFETCH(bool, send);
        QFETCH(QString, address);
        QFETCH(int, code);
        Transfer t(send, false);
        DebugFlag on(true);
        LogCapture log;
        t.start(address, QUrl(address).port(80), nullptr);
        QVERIFY(t.done.wait(20000));
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        if (!send && address.contains(QLatin1String("nosuchhost")))
            QCOMPARE(log.matching(QStringLiteral("Sending HTTP GET")),
                QStringList(
                    { "D: [LIBTARNEX] Sending HTTP GET to: \"nosuchhost.invalid\" : 80 \"/m\" via proxy "
                      "\"\" : 0" }));
        // Without a device the completion line must still be written.
        QCOMPARE(log.matching(QStringLiteral("completed")).size(), 1);
    }

    // No devices at all: an empty POST and the completion line, no crash.
    void socketSendWithoutDevices()
    {
        MmsSender s;
        s.setMmsc(url(QStringLiteral("/m")));
        s.setMmscPort(m_server->port());
        QSignalSpy done(&s, &MmsSenderBase::mmsSendComplete);
        m_server->enqueue(HttpTestServer::reply(200, "dropped"));
        DebugFlag on(true);
        LogCapture log;
        s.startMmsSend(nullptr, nullptr);
        QVERIFY(done.wait());
        QCOMPARE(done.at(0).at(0).toInt(), 200);
        QCOMPARE(m_server->request(0).header("Content-Length"), QByteArray("0"));
        QCOMPARE(log.matching(QStringLiteral("MMS sending completed")),
            QStringList({ "D: [LIBTARNEX] MMS sending completed, error: 200 response PDU size: 0" }));
    }

    // The body reaches the device as it arrives, with progress, not once the
    // whole answer is in.
    void socketBodyIsStreamed()
    {
        Transfer t(false, false);
        Device device;
        const QByteArray body = HttpTestServer::pattern(200000);
        const QByteArray answer = HttpTestServer::reply(200, body);
        const int half = answer.size() - body.size() + 100000;
        m_server->enqueue(HttpTestResponse().send(answer.left(half)).waitForRelease().send(answer.mid(half)));
        start(t, QStringLiteral("/big"), &device);
        QTRY_COMPARE(device.data().size(), 100000);
        QCOMPARE(t.progress.last(), QVariantList({ 100000, 200000 }));
        QCOMPARE(t.done.count(), 0);
        m_server->release();
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), body);
        QCOMPARE(t.progress.last(), QVariantList({ 200000, 200000 }));
    }

    // Socket: abort() is silent, but later states still reach the caller.
    // Manager: reported as cancelled, and abort() after the end does nothing.
    // Either way the object works again.
    void abort_data() { addKinds(); }

    void abort()
    {
        FETCH_TRANSFER(t);
        t.abort(); // idle: harmless
        Device device;
        start(t, QStringLiteral("/m"), &device); // no answer queued: the server keeps it waiting
        QVERIFY(m_server->waitForRequests(1));
        if (!nm)
            QTRY_COMPARE(t.states.last().at(0).toInt(), 4);
        const int before = t.states.count();
        t.abort();
        if (nm) {
            QTRY_COMPARE(t.done.count(), 1);
            QCOMPARE(t.code(0), int(QNetworkReply::OperationCanceledError));
            t.abort();
        } else {
            QTRY_COMPARE(t.states.last().at(0).toInt(), 0);
            QVERIFY(t.states.count() > before);
        }
        // The server has seen the aborted connection go, so the next answer
        // is not spent on it.
        QVERIFY(m_server->waitForOpenConnections(0));
        QCOMPARE(t.done.count(), nm ? 1 : 0);
        QCOMPARE(device.data(), QByteArray());

        m_server->enqueue(HttpTestServer::reply(200, "again"));
        Device second;
        start(t, QStringLiteral("/m2"), &second);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), nm ? 2 : 1);
        QCOMPARE(t.code(t.done.count() - 1), 200);
        QCOMPARE(second.data(), QByteArray("again"));
    }

    // Two transfers back to back: both go out, only the second is reported.
    // The socket client runs them in turn; the manager drops the first.
    void secondTransferWins_data() { addKinds(); }

    void secondTransferWins()
    {
        FETCH_TRANSFER(t);
        DebugFlag on(true);
        LogCapture log;
        Device first, second;
        if (!nm) {
            m_server->enqueue(HttpTestServer::reply(201, "to/first"));
            m_server->enqueue(HttpTestServer::reply(202, "to/second"));
        }
        start(t, QStringLiteral("/first"), &first, "first");
        start(t, QStringLiteral("/second"), &second, "second");
        if (nm) {
            QVERIFY(m_server->waitForRequests(2));
            for (const HttpTestRequest &req : m_server->requests())
                m_server->enqueue(
                    HttpTestServer::reply(req.target == "/first" ? 201 : 202, "to" + req.target));
            // Both replies have ended once both have logged their end.
            QTRY_COMPARE(log.matching(QStringLiteral("HTTP transaction finished")).size(), 2);
        } else {
            QVERIFY(t.done.wait());
        }
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 202);
        QCOMPARE(second.data(), QByteArray("to/second"));
        QCOMPARE(first.data(), nm ? QByteArray() : QByteArray("to/first"));
        if (send)
            QCOMPARE(
                m_server->request(m_server->request(0).target == "/first" ? 0 : 1).body, QByteArray("first"));
    }

    // The proxy gets the absolute form; clearing the proxy property sends the
    // next transfer straight to the server again.
    void proxyAndClearedProxy_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QString>("line");
        QTest::newRow("socket sender") << true << false
                                       << "D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : SERVER "
                                          "\"/m?id=1\"  via proxy  \"127.0.0.1\" "
                                          ": PROXY";
        QTest::newRow("nm sender") << true << true << "D: [LIBTARNEX] Setting proxy  \"127.0.0.1\" : PROXY";
        QTest::newRow("socket receiver") << false << false << QString();
        QTest::newRow("nm receiver") << false << true << QString();
    }

    void proxyAndClearedProxy()
    {
        FETCH_TRANSFER(t);
        QFETCH(QString, line);
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        t.object->setProperty("proxy", QStringLiteral("127.0.0.1"));
        t.object->setProperty("proxyPort", proxy.port());
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        Device first;
        DebugFlag on(true);
        LogCapture log;
        start(t, QStringLiteral("/m?id=1"), &first, "one");
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(first.data(), QByteArray("ok"));
        QVERIFY(
            proxy.waitForRequest((send ? "POST " : "GET ") + url(QStringLiteral("/m?id=1")) + " HTTP/1.1"));
        QCOMPARE(m_server->request(0).body, QByteArray(send ? "one" : ""));
        QCOMPARE(m_server->request(0).header("x-wap-profile"), s_profile);
        QVERIFY(!m_server->request(0).header("Via").isEmpty());
        if (!line.isEmpty())
            QCOMPARE(log.matching(line.section(QLatin1Char('"'), 0, 0)),
                QStringList({ withPorts(line, m_server->port(), proxy.port()) }));

        t.object->setProperty("proxy", QString());
        Device second;
        start(t, QStringLiteral("/m?id=2"), &second, "two");
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(1), 200);
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->request(1).target, QByteArray("/m?id=2"));
        QCOMPARE(m_server->request(1).header("Via"), QByteArray());
        QCOMPARE(proxy.requests().size(), 1);
    }

    // Every line of a socket transfer with the flag on, states by name.
    void socketDebugLines_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("expected");
        const QString ids = QStringLiteral("transaction ID: 2");
        const QStringList identity = { "D: [LIBTARNEX] User-Agent:  \"" + QString::fromLatin1(s_ua) + '"',
            "D: [LIBTARNEX] Profile URL:  \"" + QString::fromLatin1(s_profile) + '"' };
        const QStringList finished
            = { "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 1 error= false",
                  "D: [LIBTARNEX] HTTP transaction finished, transaction ID: 2 error= false" };
        QTest::newRow("sender") << true << "/mms#f"
                                << QStringList({ "D: [LIBTARNEX] Start MMS sending, PDU size: 5" }) + identity
                + QStringList(
                    { "D: [LIBTARNEX] Sending HTTP POST to: \"127.0.0.1\" : SERVER \"/mms\"  via proxy  "
                      "\"\" : 3128",
                        "D: [LIBTARNEX] HTTP POST is sent, " + ids })
                + finished
                + QStringList({ "D: [LIBTARNEX] MMS sending completed, error: 200 response PDU size: 4",
                    "D: [LIBTARNEX] MMS sending progress,  5  of  5" });
        QTest::newRow("receiver") << false << "/m?x=1#f"
                                  << identity
                + QStringList(
                    { "D: [LIBTARNEX] Sending HTTP GET to: \"127.0.0.1\" : SERVER \"/m?x=1\" via proxy "
                      "\"\" : 3128",
                        "D: [LIBTARNEX] HTTP GET is sent, " + ids })
                + finished
                + QStringList({ "D: [LIBTARNEX] MMS download completed, error: 200 , downloaded PDU size: 4",
                    "D: [LIBTARNEX] MMS download progress,  4  of  4" });
    }

    void socketDebugLines()
    {
        QFETCH(bool, send);
        QFETCH(QString, path);
        QFETCH(QStringList, expected);
        Transfer t(send, false);
        t.object->setProperty("proxyPort", 3128); // printed even without a proxy
        m_server->enqueue(HttpTestServer::reply(200, "RESP"));
        Device device;
        DebugFlag on(true);
        LogCapture log;
        start(t, path, &device, "hello");
        QVERIFY(t.done.wait());

        QStringList lines = log.lines(QtDebugMsg);
        const QStringList stateLines = lines.filter(QStringLiteral("D: [HTTP] "));
        const QStringList progressLines = lines.filter(QStringLiteral(" progress, "));
        for (const QString &l : stateLines + progressLines)
            lines.removeOne(l);
        QCOMPARE(lines << progressLines.last(), withPorts(expected.join('\n'), m_server->port()).split('\n'));
        QCOMPARE(progressLines.size(), t.progress.size());
        QCOMPARE(stateLines, stateLinesFor(t.states));
        QVERIFY(QMetaObject::invokeMethod(t.object.get(), "httpConnectionState", Q_ARG(int, 7)));
        QCOMPARE(log.lines().last(), QStringLiteral("D: [HTTP] Connection state Unknown ( 7 )"));
        QCOMPARE(t.states.last().at(0).toInt(), 7);
    }

    // The caller may delete its device while the manager is still at work.
    void nmDeviceDeletedMidTransfer_data()
    {
        QTest::addColumn<bool>("send");
        QTest::newRow("sender") << true;
        QTest::newRow("receiver") << false;
    }

    void nmDeviceDeletedMidTransfer()
    {
        QFETCH(bool, send);
        Transfer t(send, true);
        auto *device = new Device;
        start(t, QStringLiteral("/m"), device);
        QVERIFY(m_server->waitForRequests(1));
        delete device;
        DebugFlag off(false);
        LogCapture log;
        m_server->enqueue(HttpTestServer::reply(200, "answer"));
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        if (send)
            QCOMPARE(log.lines(QtWarningMsg), QStringList({ s_ignore }));
    }

    // The manager holds an answer in memory until it ends: one announced or
    // streamed past the limit is cut off, and nothing of it is stored.
    void nmAnswerLimit_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("announced");
        for (bool send : { true, false }) {
            QTest::newRow(send ? "sender, announced" : "receiver, announced") << send << true;
            QTest::newRow(send ? "sender, streamed" : "receiver, streamed") << send << false;
        }
    }

    void nmAnswerLimit()
    {
        QFETCH(bool, send);
        QFETCH(bool, announced);
        const qint64 limit = TARNEX_NM_MAX_ANSWER_BYTES;
        HttpTestResponse answer;
        if (announced) // the body never comes: the announcement alone is refused
            answer.send("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(limit + 1) + "\r\n\r\n")
                .send("x")
                .waitForRelease();
        else
            answer.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n").sendPattern(limit + (1 << 20)).close();
        m_server->enqueue(answer);
        Transfer t(send, true);
        Device device;
        LogCapture log;
        start(t, QStringLiteral("/m"), &device);
        QVERIFY(t.done.wait(60000));
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 299);
        QCOMPARE(device.data(), QByteArray());
        QCOMPARE(log.matching(QStringLiteral("[LIBTARNEX] Answer larger than")).size(), 1);
        m_server->release();
    }

    // The manager reports 64-bit progress; the signal carries ints, and the
    // sender's zero total becomes 1 (no division by zero for a percentage).
    void nmProgressNarrowing_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("sigDone");
        QTest::addColumn<int>("sigTotal");
        const qint64 big = (qint64(1) << 31) + 7, bigTotal = (qint64(3) << 31) + 1;
        QTest::newRow("send plain") << true << qint64(100) << qint64(300) << 100 << 300;
        QTest::newRow("send zero total") << true << qint64(0) << qint64(0) << 0 << 1;
        QTest::newRow("send unknown total") << true << qint64(5) << qint64(-1) << 5 << -1;
        QTest::newRow("send over 2^31") << true << big << bigTotal << int(0x80000007) << int(0x80000001);
        QTest::newRow("get zero total stays") << false << qint64(0) << qint64(0) << 0 << 0;
        QTest::newRow("get over 2^31") << false << big << bigTotal << int(0x80000007) << int(0x80000001);
    }

    void nmProgressNarrowing()
    {
        QFETCH(bool, send);
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(int, sigDone);
        QFETCH(int, sigTotal);
        Transfer t(send, true);
        DebugFlag on(true);
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(t.object.get(),
            send ? "httpDataSendProgress" : "httpDataReceiveProgress", Q_ARG(qint64, done),
            Q_ARG(qint64, total)));
        QCOMPARE(t.progress.count(), 1);
        QCOMPARE(t.progress.at(0), QVariantList({ sigDone, sigTotal }));
        QCOMPARE(log.lines(),
            QStringList({ QStringLiteral("D: [LIBTARNEX] MMS %1 progress,  %2  of  %3")
                              .arg(QLatin1String(send ? "sending" : "download"))
                              .arg(done)
                              .arg(total) }));
    }

    // A long-lived object must not pile up finished replies. (The PDUs are
    // empty: Qt's manager writes a body apart from its header without
    // TCP_NODELAY, so every POST with a body waits for a delayed ACK.)
    void nmManyTransfersLeaveNoReplies_data() { nmDeviceDeletedMidTransfer_data(); }

    void nmManyTransfersLeaveNoReplies()
    {
        QFETCH(bool, send);
        Transfer t(send, true);
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        m_server->setKeepBodies(false);
        int maxReplies = 0;
        for (int i = 0; i < 1000; ++i) {
            Device device;
            start(t, QStringLiteral("/m"), &device, "");
            QVERIFY(t.done.wait());
            QCOMPARE(t.code(i), 200);
            QCOMPARE(device.data(), QByteArray("ok"));
            maxReplies = qMax(maxReplies, t.object->findChildren<QNetworkReply *>().size());
        }
        QVERIFY(maxReplies <= 2);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(t.object->findChildren<QNetworkReply *>().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
