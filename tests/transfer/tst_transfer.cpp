// The four transfer classes against the test server and a real proxy.
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmsuaprof.h"
#include "qhttp.h"
#include "tarnexconfig_p.h"
#include "tinyproxyprocess.h"
#include "transfer.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray s_ua = "Phone/1.0 (Linux, like Gecko)";
const QByteArray s_profile = "http://uaprof.example.com/uaprof/P1.xml";
const QByteArray s_identity = "User-Agent: " + s_ua + "\r\nx-wap-profile: " + s_profile + "\r\n";
const char s_ignore[] = "[LIBTARNEX] MMS sending completed. Ignore response";

QByteArray identityConf(const QByteArray &ua, const QByteArray &profile)
{
    return "user_agent=\"" + ua + "\"\nprofile_url=\"" + profile + "\"\n";
}

// Ends TLS for the test server behind it; the bytes pass both ways unchanged.
class TlsFront : public QTcpServer
{
public:
    QSslConfiguration tls;
    quint16 backend = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *client = new QSslSocket(this);
        auto *server = new QTcpSocket(this);
        client->setSocketDescriptor(descriptor);
        client->setSslConfiguration(tls);
        server->connectToHost(QHostAddress::LocalHost, backend);
        connect(client, &QSslSocket::readyRead, server, [=] { server->write(client->readAll()); });
        connect(server, &QTcpSocket::readyRead, client, [=] { client->write(server->readAll()); });
        client->startServerEncryption();
    }
};

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<HttpTestServer> m_server;
    QSslConfiguration m_tls = QSslConfiguration::defaultConfiguration();

    // Writes ~/.mms/profile.conf; a null content removes it.
    bool writeConf(const QByteArray &content)
    {
        const QString path = m_home.filePath(QStringLiteral(".mms/profile.conf"));
        ::unlink(QFile::encodeName(path).constData()); // also a link
        QFile f(path);
        return content.isNull() || (f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
    }
    void start(Transfer &t, const QString &path, QIODevice *device, const QByteArray &body = "pdu")
    {
        t.start(m_server->url(path), m_server->port(), device, body);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY(m_home.isValid() && QDir(m_home.path()).mkpath(QStringLiteral(".mms")));
        // The TLS front's key and certificate, which the manager's variants trust.
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                "-keyout", "/dev/stdout", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1" });
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        const QByteArray pem = openssl.readAllStandardOutput();
        m_tls.setLocalCertificate(QSslCertificate(pem));
        m_tls.setPrivateKey(QSslKey(pem, QSsl::Ec));
        m_tls.setCaCertificates({ m_tls.localCertificate() });
        QVERIFY(!m_tls.localCertificate().isNull() && !m_tls.privateKey().isNull());
        QSslConfiguration::setDefaultConfiguration(m_tls);
    }

    void init()
    {
        QVERIFY(writeConf(identityConf(s_ua, s_profile)));
        m_server.reset(new HttpTestServer);
        QVERIFY(m_server->listen());
    }

    void cleanup() { m_server.reset(); }

    // Only a regular file (or a link to one) of at most 64 KiB is read, never
    // hanging; what is there but not used is said once. Unlike QSettings'
    // INI on purpose: a byte-order mark is skipped, the rest is Latin-1.
    void settingsFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("userAgent"); // null: the default
        QTest::addColumn<bool>("warns");
        const QByteArray conf = "user_agent=Kind/1\n";
        const QString used = QStringLiteral("Kind/1"), unused;
        QTest::newRow("byte-order mark")
            << "file 0" << QByteArray("\xef\xbb\xbfuser_agent=U\n") << "U" << false;
        QTest::newRow("@ByteArray, 8-bit")
            << "file 0" << QByteArray("user_agent=@ByteArray(Bytes \xc3\xa9)\n")
            << QString::fromUtf8("Bytes \u00e9") << false;
        QTest::newRow("8-bit text") << "file 0" << QByteArray("user_agent=caf\xe9 \xc3\xa9\n")
                                    << QString::fromUtf8("caf\u00e9 \u00c3\u00a9") << false;
        QTest::newRow("no file") << "none" << conf << unused << false;
        QTest::newRow("symlink to a file of 64 KiB") << "link 65536" << conf << used << false;
        QTest::newRow("64 KiB and one byte") << "file 65537" << conf << unused << true;
        QTest::newRow("symlink to a FIFO") << "link fifo" << conf << unused << true;
        QTest::newRow("regular, but reading fails") << "link /proc/self/mem" << conf << unused << false;
    }

    void settingsFile()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, conf);
        QFETCH(QString, userAgent);
        QFETCH(bool, warns);
        const QString path = m_home.filePath(QStringLiteral(".mms/profile.conf"));
        const QString elsewhere = m_home.filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeConf(QByteArray()));
        ::unlink(QFile::encodeName(elsewhere).constData());
        // "file <size>" or "link <size>" (padded with a comment line; 0: as it is), "link <target>".
        const QString what = kind.section(' ', 1);
        bool sized = false;
        const int size = what.toInt(&sized);
        const QByteArray data = size ? QByteArray(size - conf.size() - 1, ';') + '\n' + conf : conf;
        QFile file(kind.startsWith("file") ? path : elsewhere);
        QVERIFY(
            !sized || (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush()));
        QVERIFY(what != "fifo" || ::mkfifo(QFile::encodeName(elsewhere).constData(), 0600) == 0);
        QVERIFY(!kind.startsWith("link") || QFile::link(what.startsWith('/') ? what : elsewhere, path));
        DebugFlag off(false);
        LogCapture log;
        QCOMPARE(MmsUAProf::getUserAgent(),
            userAgent.isNull() ? QStringLiteral(TARNEX_DEFAULT_USER_AGENT) : userAgent);
        QCOMPARE(log.lines().size(), warns ? 1 : 0);
        QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), kind != "none");
    }

    // The settings file's fields on the wire, in file order, one per name.
    // What could change the request's meaning (INI escapes \r \n \0 and
    // %0D%0A become the characters) is left out with one warning, never shown.
    // connection_close=true: a new connection for the second transfer.
    void carrierHeaders_data()
    {
        addKindColumns();
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::addColumn<int>("warnings");
        const QByteArray identity = identityConf("UA/1", "http://p.example/1.xml");
        // Sender and receiver share each client's path: one of each per row.
        int i = 0;
        auto row = [&i](const char *name, const QByteArray &conf, const QByteArrayList &fields, int n) {
            for (const Kind &k : { Kinds[i % 2], Kinds[3 - i % 2] })
                kindRow(k, name) << conf << fields << n;
            ++i;
        };
        row("renamed UAProf field, fields in file order, connection_close",
            identity
                + "uaprof_header=Profile\nconnection_close=true\n"
                  "[headers]\nX-Line=+15550100\nX-B=\"a, b\"\nX-A=1\n",
            { "User-Agent: UA/1", "Profile: http://p.example/1.xml", "X-Line: +15550100", "X-B: a, b",
                "X-A: 1" },
            0);
        row("fields the library owns, bad names, lists, unknown connection_close",
            identity
                + "uaprof_header=\"Bad:Name\"\nconnection_close=maybe\n[headers]\nHost=refused.example\n"
                  "Content-Length=77\ncontent-type=refused/type\nTRANSFER-ENCODING=refused\n"
                  "Connection=refused\nX%20Blank=refused\nX-List=refused, too\nX-Ok=1\n",
            { "User-Agent: UA/1", "x-wap-profile: http://p.example/1.xml", "X-Ok: 1" }, 9);
        row("replacing and removing identity fields",
            identity + "connection_close=no\n[headers]\nuser-agent=UA/2\nX-WAP-PROFILE=\nX-A=1\nx-a=2\n",
            { "User-Agent: UA/2", "X-A: 2" }, 0);
        row("line breaks and NULs in values",
            "user_agent=\"UA/1\\r\\nX-Refused: 1\"\n"
            "profile_url=\"x\\n\\nGET /refused HTTP/1.1\\nHost: evil\"\n[headers]\n"
            "X-A=\"1\\rX-Refused: 1\"\nX-B=\"2\\0X-Refused: 1\"\nX-C=\"3\\r\\nrefused: 1\"\n",
            {}, 5);
        row("line breaks in names",
            identity + "uaprof_header=\"X-P\\r\\nInjected: 1\"\n[headers]\nX-D%0D%0AInjected%3A%201=1\n",
            { "User-Agent: UA/1", "x-wap-profile: http://p.example/1.xml" }, 2);
    }

    void carrierHeaders()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, conf);
        QFETCH(QList<QByteArray>, fields);
        QFETCH(int, warnings);
        QVERIFY(writeConf(conf));
        const bool close = conf.contains("connection_close=true");
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        DebugFlag off(false);
        LogCapture log;
        for (int i = 0; i < 2; ++i) {
            Device device;
            start(t, QStringLiteral("/m"), &device);
            QVERIFY(t.done.wait());
            QCOMPARE(t.code(i), 200);
            if (close)
                QVERIFY(m_server->waitForOpenConnections(0));
        }
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->connectionCount(), close ? 2 : 1);
        // The client's own fields aside, exactly the file's, in order.
        const QList<QByteArray> own = { "host", "content-length", "content-type", "connection",
            "accept-encoding", "accept-language" };
        for (const HttpTestRequest &r : m_server->requests()) {
            QList<QByteArray> sent;
            for (const auto &field : r.headers)
                if (!own.contains(field.first.toLower()))
                    sent << field.first + ": " + field.second;
            QCOMPARE(sent, fields);
            QVERIFY2(
                !r.raw.toLower().contains("refused") && !r.raw.contains("Injected") && !r.raw.contains('\0'),
                r.raw.constData());
            QCOMPARE(
                r.headerValues("Content-Length"), send ? QList<QByteArray>({ "3" }) : QList<QByteArray>());
            QCOMPARE(r.header("Connection").toLower() == "close", close);
        }
        QCOMPARE(log.lines(QtWarningMsg).size(), 2 * warnings);
        // No refused value in the log, nothing from the file with its line breaks.
        const QString all = log.lines().join(QLatin1Char('|'));
        QVERIFY2(!all.contains(QRegularExpression(QStringLiteral("[\\r\\n\\x{0}]|efused"))), qPrintable(all));
    }

    // Requests and answers byte for byte; the socket sender goes to
    // "mmscPort", the rest to the URL's port. Never https or h2c by the socket.
    void wire_data()
    {
        addKindColumns();
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("target");
        kindRow(Kinds[0], "query kept, fragment and URL port dropped")
            << "http://127.0.0.1:1/mms/send?x=1&y=a%20b#frag" << QByteArray("/mms/send?x=1&y=a%20b");
        kindRow(Kinds[0], "host only") << "http://127.0.0.1" << QByteArray("/");
        kindRow(Kinds[0], "https still plain") << "https://127.0.0.1/s" << QByteArray("/s");
        kindRow(Kinds[0], "IPv6 host") << "http://[::1]/m" << QByteArray("/m");
        kindRow(Kinds[1], "query kept, fragment dropped")
            << "http://127.0.0.1:SERVER/get?id=7&t=a%20b#frag" << QByteArray("/get?id=7&t=a%20b");
        kindRow(Kinds[2], "query kept, fragment dropped")
            << "http://127.0.0.1:SERVER/mms?x=1#frag" << QByteArray("/mms?x=1");
        kindRow(Kinds[2], "QT_NETWORK_H2C_ALLOWED")
            << "http://127.0.0.1:SERVER/mms?x=1" << QByteArray("/mms?x=1");
        kindRow(Kinds[3], "IPv6 host") << "http://[::1]:SERVER/mms" << QByteArray("/mms");
    }

    void wire()
    {
        FETCH_TRANSFER(t);
        QFETCH(QString, address);
        QFETCH(QByteArray, target);
        if (QByteArray(QTest::currentDataTag()).contains("H2C"))
            qputenv("QT_NETWORK_H2C_ALLOWED", "1");
        const auto unset = qScopeGuard([] { qunsetenv("QT_NETWORK_H2C_ALLOWED"); });
        const bool v6 = address.contains(QLatin1Char('['));
        HttpTestServer server; // the relay works in this event loop
        QVERIFY(server.listen(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
        const QByteArray pdu("\x8c\x80\x98\x00\r\n\xff tail", 12), answer = HttpTestServer::pattern(70000);
        server.enqueue(HttpTestServer::reply(200, answer));
        Device device;
        t.start(address.replace(QLatin1String("SERVER"), QString::number(server.port())),
            nm ? 0 : server.port(), &device, pdu);
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), answer);
        const HttpTestRequest r = server.request(0);
        const QByteArray line = (send ? "POST " : "GET ") + target + " HTTP/1.1";
        const QByteArray host = v6 ? "[::1]" : "127.0.0.1";
        if (!nm) {
            QCOMPARE(r.raw,
                send ? line + "\r\nContent-Type: application/vnd.wap.mms-message\r\n" + s_identity
                        + "Host: " + host + "\r\nContent-Length: 12\r\n\r\n" + pdu
                     : line + "\r\n" + s_identity + "Host: " + host + "\r\n\r\n");
            return;
        }
        QCOMPARE(r.method + ' ' + r.target + ' ' + r.version, line);
        QCOMPARE(r.header("Host"), host + ':' + QByteArray::number(server.port()));
        QCOMPARE(r.body, send ? pdu : QByteArray());
        // Complete at the end: the manager's (0, 0) after an upload is not passed on.
        QCOMPARE(t.progress.last(), send ? QVariantList({ 12, 12 }) : QVariantList({ 70000, 70000 }));
        const QList<QByteArray> names = r.headerNames();
        QVERIFY2(!names.contains("Upgrade") && !names.contains("HTTP2-Settings"), r.raw.constData());
        QCOMPARE(r.headerValues("Content-type"),
            send ? QList<QByteArray>({ "application/vnd.wap.mms-message" }) : QList<QByteArray>());
        QVERIFY(!send || names.indexOf("x-wap-profile") < names.indexOf("Content-type"));
    }

    // Any answer ends the transfer once with the client's code; a missing or
    // deleted device is no crash, a failing one no success. https passes the
    // relay untouched and the limits hold; once the proxy is emptied the
    // next transfer goes direct. (Cut-off answers: tests/faults.)
    void outcomes_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("route"); // "https", "tinyproxy" or direct, after the row's name
        const QByteArray ten = HttpTestServer::reply(200, "0123456789");
        const char *store = "[LIBTARNEX] Could not store the", *readOnly = "read-only", *full = "/dev/full";
        auto row = [](const char *name, bool send, bool nm, const QByteArray &answer, int code,
                       const QByteArray &stored, const char *device = "", const char *warning = "") {
            const char *route = strstr(name, "https") ? "https"
                : strstr(name, "tinyproxy")           ? "tinyproxy"
                                                      : "";
            QTest::newRow(name) << send << nm << answer << device << code << stored << warning << route;
        };
        row("socket send 500", true, false, HttpTestServer::reply(500, "broken"), 500, "broken");
        row("socket send, no devices", true, false, ten, 200, QByteArray(), "none");
        row("socket get malformed", false, false, "HTTP/1.1 abc\r\n\r\n", 5, QByteArray());
        row("socket get /dev/full", false, false, ten, QHttp::UnknownError, QByteArray(), full);
        row("socket get via tinyproxy", false, false, ten, 200, "0123456789");
        row("nm send via tinyproxy", true, true, ten, 200, "0123456789");
        row("nm send 200 empty", true, true, HttpTestServer::reply(200), 200, QByteArray(), "", s_ignore);
        row("nm send, device deleted", true, true, ten, 200, QByteArray(), "deleted", s_ignore);
        // The error page is not handed on as if it were the MMSC's answer.
        row("nm send 404", true, true, HttpTestServer::reply(404, "not here"), 203, QByteArray());
        row("nm send failing device", true, true, ten, 299, QByteArray(), readOnly, store);
        row("nm get 404 page in device", false, true, HttpTestServer::reply(404, "gone"), 203, "gone");
        // A redirect is reported, never followed (Qt 6's manager would by itself).
        row("nm get 302 not followed", false, true,
            "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 2\r\n\r\nmv", 302, "mv");
        row("nm get, device deleted", false, true, ten, 200, QByteArray(), "deleted");
        row("nm get /dev/full", false, true, ten, 299, QByteArray(), full, store);
        row("nm get failing device, 404 stays", false, true, HttpTestServer::reply(404, "x"), 203,
            QByteArray(), readOnly, store);
        const QByteArray body = HttpTestServer::pattern(70000), whole = HttpTestServer::reply(200, body);
        row("nm send https, answer at the size limit", true, true, whole, 200, body);
        row("nm get https, answer over the size limit", false, true, HttpTestServer::reply(200, body + 'x'),
            QNetworkReply::UnknownContentError, QByteArray(), "", "larger than the limit");
        row("nm send https, stall mid-body", true, true, whole.left(1000), QNetworkReply::TimeoutError,
            QByteArray(), "", "Nothing sent or received");
    }

    void outcomes()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, answer);
        QFETCH(QString, device);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        QFETCH(QString, warning);
        QFETCH(QString, route);
        const bool noPdu = device == QLatin1String("none") || device == QLatin1String("deleted");
        QBuffer buffer;
        buffer.open(device == QLatin1String("read-only") ? QIODevice::ReadOnly : QIODevice::WriteOnly);
        QFile file(device);
        QIODevice *to = device.startsWith(QLatin1Char('/')) ? static_cast<QIODevice *>(&file) : &buffer;
        if (noPdu)
            to = device == QLatin1String("deleted") ? new Device : nullptr;
        QVERIFY(to != &file || file.open(QIODevice::WriteOnly));
        DebugFlag off(false);
        LogCapture log;
        TlsFront front;
        front.tls = m_tls;
        front.backend = m_server->port();
        const QByteArray pdu = noPdu ? QByteArray() : QByteArray("pdu");
        TinyproxyProcess proxy;
        if (route == QLatin1String("tinyproxy")) {
            QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
            t.setProxy(QStringLiteral("127.0.0.1"), proxy.port());
        }
        if (route == QLatin1String("https")) {
            QVERIFY(front.listen(QHostAddress::LocalHost));
            t.setLimits(1000, 70000);
            t.start(QStringLiteral("https://127.0.0.1:%1/m").arg(front.serverPort()), 0, to, pdu);
        } else {
            start(t, QStringLiteral("/m"), to, pdu);
        }
        QVERIFY(m_server->waitForRequests(1));
        if (device == QLatin1String("deleted"))
            delete to;
        m_server->enqueue(HttpTestResponse(answer));
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        QCOMPARE(buffer.data(), stored);
        QCOMPARE(m_server->request(0).body, send ? pdu : QByteArray());
        QCOMPARE(m_server->request(0).header("User-Agent"), s_ua);
        QVERIFY(!m_server->request(0).raw.contains("X-Tarnex")); // the library's own marks stay inside
        QCOMPARE(log.lines(QtDebugMsg), QStringList());
        if (nm && (device.isEmpty() || noPdu))
            QCOMPARE(log.lines(QtWarningMsg).size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(log.matching(warning).size(), 1);
        if (route == QLatin1String("tinyproxy")) {
            QVERIFY(!m_server->request(0).header("Via").isEmpty());
            t.object->setProperty("proxy", QString());
            m_server->enqueue(HttpTestResponse(answer));
            Device again;
            start(t, QStringLiteral("/m"), &again, pdu);
            QVERIFY(t.done.wait());
            QCOMPARE(t.code(1), code);
            QCOMPARE(m_server->request(1).header("Via"), QByteArray());
        }
    }

    // Both go out, only the second is reported; the superseded one ending
    // first with connection_close does not take the running one's connection.
    void secondTransferWins_data() { addKinds(); }

    void secondTransferWins()
    {
        FETCH_TRANSFER(t);
        QVERIFY(writeConf(identityConf(s_ua, s_profile) + "connection_close=true\n"));
        DebugFlag on(true);
        LogCapture log;
        Device first, second;
        start(t, QStringLiteral("/first"), &first, "first");
        start(t, QStringLiteral("/second"), &second, "second");
        // The socket client asks one after the other, the manager both at once.
        for (int i = 0; i < 2; ++i) {
            QVERIFY(m_server->waitForRequests(i + 1));
            m_server->enqueue(m_server->request(i).target == "/first"
                    ? HttpTestResponse(HttpTestServer::reply(201, "to/first"))
                    : HttpTestResponse()
                          .send("HTTP/1.1 202 Accepted\r\nContent-Length: 9\r\n\r\nto/")
                          .waitForRelease()
                          .send("second"));
        }
        if (nm) // the superseded one has ended
            QTRY_COMPARE(log.matching(QStringLiteral("HTTP transaction finished")).size(), 1);
        m_server->release();
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 202);
        QCOMPARE(second.data(), QByteArray("to/second"));
        QCOMPARE(first.data(), nm ? QByteArray() : QByteArray("to/first"));
        if (send)
            QCOMPARE(
                m_server->request(m_server->request(0).target == "/first" ? 0 : 1).body, QByteArray("first"));
        QVERIFY(m_server->waitForOpenConnections(0));
    }

    // A PDU that comes in parts goes out whole once its source has ended
    // well; one that fails or goes away first gave no whole PDU.
    void sequentialPdu_data()
    {
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("code");
        QTest::newRow("MmsSender, process exits") << false << "process exit 0" << 200;
        QTest::newRow("MmsSenderNM, process exits") << true << "process exit 0" << 200;
        QTest::newRow("MmsSender, process exits 3") << false << "process exit 3" << 1;
        QTest::newRow("MmsSender, peer closes socket") << false << "socket end" << 200;
        QTest::newRow("MmsSender, socket closed") << false << "socket close" << 1;
        // A device of the caller's own that says nothing when it goes.
        QTest::newRow("MmsSender, own device deleted") << false << "own delete" << 1;
    }

    void sequentialPdu()
    {
        QFETCH(bool, nm);
        QFETCH(QString, ending);
        QFETCH(int, code);
        const QString source = ending.section(' ', 0, 0), how = ending.section(' ', 1);
        const QByteArray first = HttpTestServer::pattern(5000), second = HttpTestServer::pattern(7000, 5000);
        QTcpServer listener;
        QTcpSocket *peer = nullptr;
        QIODevice *pdu = nullptr, *feed = nullptr;
        if (source == QLatin1String("process")) {
            auto *process = new QProcess(this);
            process->start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), "cat; " + how });
            QVERIFY(process->waitForStarted());
            pdu = feed = process;
        } else if (source == QLatin1String("own")) {
            pdu = new SilentDevice;
        } else {
            QVERIFY(listener.listen(QHostAddress::LocalHost));
            auto *socket = new QTcpSocket(this);
            socket->connectToHost(listener.serverAddress(), listener.serverPort());
            QVERIFY(socket->waitForConnected() && listener.waitForNewConnection(10000));
            pdu = socket;
            feed = peer = listener.nextPendingConnection();
        }
        if (feed)
            feed->write(first);
        m_server->enqueue(HttpTestServer::reply(200, "stored"));
        Transfer t(true, nm);
        auto *sender = static_cast<MmsSenderBase *>(t.object.get());
        sender->setMmsc(m_server->url(QStringLiteral("/m")));
        sender->setMmscPort(m_server->port());
        Device device;
        QSignalSpy arrived(pdu, &QIODevice::readyRead);
        sender->startMmsSend(pdu, &device);
        // The first part has come, and the sender took it.
        if (feed)
            QVERIFY(arrived.wait());
        else
            QTRY_VERIFY(static_cast<SilentDevice *>(pdu)->reads > 0);
        QTRY_COMPARE(pdu->bytesAvailable(), qint64(0));

        if (how == QLatin1String("close")) {
            pdu->close();
        } else if (how == QLatin1String("delete")) {
            delete pdu;
        } else {
            feed->write(second);
            if (peer)
                peer->disconnectFromHost();
            else
                static_cast<QProcess *>(pdu)->closeWriteChannel();
        }
        QTRY_COMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        QCOMPARE(m_server->requestCount(), code == 200 ? 1 : 0);
        QCOMPARE(m_server->request(0).body, code == 200 ? first + second : QByteArray());
        QCOMPARE(device.data(), QByteArray(code == 200 ? "stored" : ""));
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
