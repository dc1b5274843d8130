// The four transfer classes and the identity they send, against the shared
// test server and a real forward proxy.
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

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
const QString s_ignore = QStringLiteral("[LIBTARNEX] MMS sending completed. Ignore response");

QByteArray identityConf(const QByteArray &ua, const QByteArray &profile)
{
    return "user_agent=\"" + ua + "\"\nprofile_url=\"" + profile + "\"\n";
}

QString withPort(QString s, int port)
{
    return s.replace(QLatin1String("SERVER"), QString::number(port));
}

// Answers one request over TLS, once the bytes received end with `tail`.
class TlsServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;
    QByteArray tail, answer, received;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        connect(socket, &QSslSocket::readyRead, this, [this, socket] {
            received += socket->readAll();
            if (received.endsWith(tail))
                socket->write(answer);
        });
        socket->startServerEncryption();
    }
};

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    HttpTestServer *m_server = nullptr;

    // Writes ~/.mms/profile.conf; a null content removes it.
    bool writeConf(const QByteArray &content)
    {
        const QString path = m_home.filePath(QStringLiteral(".mms/profile.conf"));
        QDir(path).removeRecursively();
        ::unlink(QFile::encodeName(path).constData()); // also a dangling link
        if (content.isNull())
            return !QFileInfo(path).exists() && !QFileInfo(path).isSymLink();
        QDir(m_home.path()).mkpath(QStringLiteral(".mms"));
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path);
    }
    void start(Transfer &t, const QString &path, QIODevice *device, const QByteArray &body = "pdu")
    {
        t.start(url(path), m_server->port(), device, body);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY(m_home.isValid() && QDir::homePath() == m_home.path());
    }

    void init()
    {
        QVERIFY(writeConf(identityConf(s_ua, s_profile)));
        m_server = new HttpTestServer(this);
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        delete m_server;
        m_server = nullptr;
    }

    // Where the file is read unlike QSettings' INI format on purpose (the
    // fuzz target holds the reader to QSettings everywhere else): a leading
    // byte-order mark is skipped; without one the file is Latin-1 in both
    // Qt builds, every byte reaching the User-Agent as it was.
    void iniWhereQSettingsDiffers_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("userAgent");
        QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbfuser_agent=U\n") << "U";
        QTest::newRow("@ByteArray, 8-bit")
            << QByteArray("user_agent=@ByteArray(Bytes \xc3\xa9)\n") << QString::fromUtf8("Bytes \u00e9");
        QTest::newRow("8-bit text") << QByteArray("user_agent=caf\xe9 \xc3\xa9\n")
                                    << QString::fromUtf8("caf\u00e9 \u00c3\u00a9");
    }

    void iniWhereQSettingsDiffers()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, userAgent);
        QVERIFY(writeConf(conf));
        QCOMPARE(MmsUAProf::getUserAgent(), userAgent);
    }

    // What is at the settings path decides whether it is read at all: only a
    // regular file (a symlink to one included) of at most 64 KiB. Anything
    // else gives the defaults at once, never a hang or a read without end;
    // what is there but not used is said once, a missing or unreadable file
    // not at all, and a missing one is not created.
    void settingsFileKinds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("used");
        QTest::addColumn<bool>("warns");
        QTest::newRow("no file") << "none" << false << false;
        QTest::newRow("symlink to a regular file") << "link file" << true << false;
        QTest::newRow("64 KiB") << "size 65536" << true << false;
        QTest::newRow("64 KiB and one byte") << "size 65537" << false << true;
        QTest::newRow("FIFO") << "fifo" << false << true;
        QTest::newRow("symlink to a FIFO") << "link fifo" << false << true;
        QTest::newRow("directory") << "directory" << false << true;
        QTest::newRow("symlink to /dev/zero") << "link /dev/zero" << false << true;
        QTest::newRow("dangling symlink") << "link nowhere" << false << false;
        QTest::newRow("regular, but reading fails") << "link /proc/self/mem" << false << false;
    }

    void settingsFileKinds()
    {
        QFETCH(QString, kind);
        QFETCH(bool, used);
        QFETCH(bool, warns);
        const QString path = m_home.filePath(QStringLiteral(".mms/profile.conf"));
        const QString elsewhere = m_home.filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeConf(QByteArray()));
        ::unlink(QFile::encodeName(elsewhere).constData());
        const QByteArray conf = identityConf("Kind/1", "http://p.example/kind.xml");
        auto fill = [&conf](const QString &file, int size) {
            QFile f(file);
            return f.open(QIODevice::WriteOnly)
                && f.write(QByteArray(size - conf.size() - 1, ';') + '\n' + conf) == size;
        };
        const QString what = kind.section(' ', 1);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "directory")
            QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral(".mms/profile.conf")));
        else if (kind.startsWith("size"))
            QVERIFY(fill(path, what.toInt()));
        else if (what == "file")
            QVERIFY(fill(elsewhere, 100) && QFile::link(elsewhere, path));
        else if (what == "fifo")
            QVERIFY(::mkfifo(QFile::encodeName(elsewhere).constData(), 0600) == 0
                && QFile::link(elsewhere, path));
        else if (kind != "none")
            QVERIFY(QFile::link(what.startsWith('/') ? what : elsewhere, path));

        DebugFlag off(false);
        LogCapture log;
        const QString ua = MmsUAProf::getUserAgent(), profile = MmsUAProf::getProfileUrl();
        QCOMPARE(ua, used ? QStringLiteral("Kind/1") : QStringLiteral(TARNEX_DEFAULT_USER_AGENT));
        QCOMPARE(profile,
            used ? QStringLiteral("http://p.example/kind.xml") : QStringLiteral(TARNEX_DEFAULT_PROFILE_URL));
        QCOMPARE(log.lines().size(), warns ? 1 : 0);
        QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), kind != "none");
        QVERIFY(writeConf(QByteArray()));
        ::unlink(QFile::encodeName(elsewhere).constData());
    }

    // What the settings file adds to every request, on the wire of all four
    // classes: fields in file order, one per name (a later one replacing an
    // earlier, an empty one removing it); names and values that could change
    // what the request means are left out with one warning each.
    void carrierHeaders_data()
    {
        addKindColumns();
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::addColumn<int>("warnings");
        const QByteArray identity = identityConf("UA/1", "http://p.example/1.xml");
        const struct
        {
            const char *name;
            QByteArray conf;
            QList<QByteArray> fields;
            int warnings;
        } rows[] = {
            { "renamed UAProf field, fields in file order",
                identity + "uaprof_header=Profile\n[headers]\nX-Line=+15550100\nX-B=\"a, b\"\nX-A=1\n",
                { "User-Agent: UA/1", "Profile: http://p.example/1.xml", "X-Line: +15550100", "X-B: a, b",
                    "X-A: 1" },
                0 },
            { "fields the library owns, bad names, lists",
                identity
                    + "uaprof_header=\"Bad:Name\"\n[headers]\nHost=refused.example\nContent-Length=77\n"
                      "content-type=refused/type\nTRANSFER-ENCODING=refused\nConnection=refused\n"
                      "X%20Blank=refused\nX-List=refused, too\nX-Ok=1\n",
                { "User-Agent: UA/1", "x-wap-profile: http://p.example/1.xml", "X-Ok: 1" }, 8 },
            { "replacing and removing identity fields",
                identity + "[headers]\nuser-agent=UA/2\nX-WAP-PROFILE=\nX-A=1\nx-a=2\n",
                { "User-Agent: UA/2", "X-A: 2" }, 0 },
            { "empty identity values", "user_agent=\nprofile_url=\n", {}, 0 },
        };
        for (const auto &row : rows)
            for (const auto &k : Kinds)
                kindRow(k, row.name) << row.conf << row.fields << row.warnings;
    }

    void carrierHeaders()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, conf);
        QFETCH(QList<QByteArray>, fields);
        QFETCH(int, warnings);
        QVERIFY(writeConf(conf));
        m_server->enqueue(HttpTestServer::reply(200, "ok"));
        Device device;
        DebugFlag off(false);
        LogCapture log;
        start(t, QStringLiteral("/m"), &device);
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        const HttpTestRequest r = m_server->request(0);
        // The client's own fields aside, exactly the file's, in order.
        const QList<QByteArray> own = { "host", "content-length", "content-type", "connection",
            "accept-encoding", "accept-language" };
        QList<QByteArray> sent;
        for (const auto &field : r.headers)
            if (!own.contains(field.first.toLower()))
                sent << field.first + ": " + field.second;
        QCOMPARE(sent, fields);
        QVERIFY2(!r.raw.contains("refused"), r.raw.constData());
        QCOMPARE(r.headerValues("Host").size(), 1);
        QCOMPARE(r.headerValues("Content-Length"), send ? QList<QByteArray>({ "3" }) : QList<QByteArray>());
        QCOMPARE(log.matching(QStringLiteral("[LIBTARNEX] Ignoring")).size(), warnings);
        QCOMPARE(log.lines(QtWarningMsg).size(), warnings);
    }

    // connection_close: the field goes out and the client closes the
    // connection after the answer, though the server would keep it; without
    // it the next transfer reuses the connection. Only a boolean word counts.
    void connectionClose_data()
    {
        addKindColumns();
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<bool>("close");
        QTest::addColumn<int>("warnings");
        const struct
        {
            const char *conf;
            bool close;
            int warnings;
        } rows[] = { { "connection_close=true\n", true, 0 }, { "connection_close=no\n", false, 0 },
            { "connection_close=maybe\n", false, 1 } };
        for (const auto &row : rows)
            for (const auto &k : Kinds)
                kindRow(k, QByteArray(row.conf).trimmed())
                    << QByteArray(row.conf) << row.close << row.warnings;
    }

    void connectionClose()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, conf);
        QFETCH(bool, close);
        QFETCH(int, warnings);
        QVERIFY(writeConf(identityConf(s_ua, s_profile) + conf));
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        LogCapture log;
        for (int i = 0; i < 2; ++i) {
            Device device;
            start(t, QStringLiteral("/m"), &device);
            QVERIFY(t.done.wait());
            QCOMPARE(t.code(i), 200);
            QCOMPARE(device.data(), QByteArray("ok"));
            if (close)
                QVERIFY(m_server->waitForOpenConnections(0));
        }
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->connectionCount(), close ? 2 : 1);
        for (const HttpTestRequest &r : m_server->requests())
            QCOMPARE(r.header("Connection").toLower() == "close", close);
        QCOMPARE(log.lines(QtWarningMsg).size(), 2 * warnings);
    }

    // The socket variants byte for byte; the sender goes to "mmscPort", the
    // receiver to the URL's port.
    void socketWire_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("target");
        auto row = [](const char *name, bool send, const char *address, const QByteArray &target) {
            QTest::newRow(name) << send << QString::fromLatin1(address) << target;
        };
        row("send: query kept, fragment and URL port dropped", true,
            "http://127.0.0.1:1/mms/send?x=1&y=a%20b#frag", "/mms/send?x=1&y=a%20b");
        row("send: host only", true, "http://127.0.0.1", "/");
        row("send: https still plain", true, "https://127.0.0.1/s", "/s");
        row("send: IPv6 host", true, "http://[::1]/m", "/m");
        row("get: query kept, fragment dropped", false, "http://127.0.0.1:SERVER/get?id=7&t=a%20b#frag",
            "/get?id=7&t=a%20b");
    }

    void socketWire()
    {
        QFETCH(bool, send);
        QFETCH(QString, address);
        QFETCH(QByteArray, target);
        // The shared server is IPv4 only: an IPv6 row checks the bytes alone.
        const bool v6 = address.contains(QLatin1Char('['));
        QTcpServer v6Server;
        QVERIFY(!v6 || v6Server.listen(QHostAddress::LocalHostIPv6));
        const int port = v6 ? v6Server.serverPort() : m_server->port();
        Transfer t(send, false);
        Device device;
        const QByteArray pdu("\x8c\x80\x98\x00\r\n\xff tail", 12);
        m_server->enqueue(HttpTestServer::reply(200, "RESP"));
        t.start(withPort(address, port), port, &device, pdu);
        const QByteArray host = "Host: " + QByteArray(v6 ? "[::1]" : "127.0.0.1") + "\r\n";
        const QByteArray expected = send
            ? "POST " + target + " HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n" + s_identity
                + host + "Content-Length: 12\r\n\r\n" + pdu
            : "GET " + target + " HTTP/1.1\r\n" + s_identity + host + "\r\n";
        if (v6) {
            QTRY_VERIFY(v6Server.hasPendingConnections());
            QTcpSocket *peer = v6Server.nextPendingConnection();
            QByteArray received;
            QTRY_COMPARE(received += peer->readAll(), expected);
            return;
        }
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), QByteArray("RESP"));
        QCOMPARE(m_server->request(0).raw, expected);
    }

    // The manager's requests; the URL's own port when "mmscPort" is 0. Plain
    // HTTP/1.1 also where the environment asks Qt 6 for an h2c upgrade.
    void nmWire_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("h2c");
        QTest::newRow("MmsSenderNM") << true << false;
        QTest::newRow("MmsReceiverNM") << false << false;
        QTest::newRow("MmsSenderNM, QT_NETWORK_H2C_ALLOWED") << true << true;
    }

    void nmWire()
    {
        QFETCH(bool, send);
        QFETCH(bool, h2c);
        if (h2c)
            qputenv("QT_NETWORK_H2C_ALLOWED", "1");
        const auto unset = qScopeGuard([] { qunsetenv("QT_NETWORK_H2C_ALLOWED"); });
        Transfer t(send, true);
        Device device;
        const QByteArray pdu("\x8c\x80\x98PDU\x00\r\nbytes", 13);
        const QByteArray answer = HttpTestServer::pattern(70000);
        m_server->enqueue(HttpTestServer::reply(200, answer));
        t.start(url(QStringLiteral("/mms?x=1#frag")), 0, &device, pdu);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), answer);
        QCOMPARE(t.states.count(), 0);
        // Complete at the end: the manager's (0, 0) after an upload is not passed on.
        QCOMPARE(t.progress.last(), send ? QVariantList({ 13, 13 }) : QVariantList({ 70000, 70000 }));

        const HttpTestRequest r = m_server->request(0);
        QCOMPARE(r.method + ' ' + r.target + ' ' + r.version,
            QByteArray(send ? "POST /mms?x=1 HTTP/1.1" : "GET /mms?x=1 HTTP/1.1"));
        QCOMPARE(r.body, send ? pdu : QByteArray());
        // The identity fields: carrierHeaders.
        const QList<QByteArray> names = r.headerNames();
        QVERIFY2(!names.contains("Upgrade") && !names.contains("HTTP2-Settings"), r.raw.constData());
        QVERIFY(send ? names.indexOf("x-wap-profile") < names.indexOf("Content-type")
                     : !names.contains("Content-type"));
        QVERIFY(!r.raw.contains("X-Tarnex")); // the library's own marks stay inside
        if (send)
            QCOMPARE(
                r.headerValues("Content-type"), QList<QByteArray>({ "application/vnd.wap.mms-message" }));
    }

    // An IPv6 literal as the host, sent as the manager writes it.
    void nmIpv6_data() { addNmKinds(); }

    void nmIpv6()
    {
        QFETCH(bool, send);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHostIPv6));
        Transfer t(send, true);
        Device device;
        t.start(QStringLiteral("http://[::1]:%1/m").arg(server.serverPort()), 0, &device, "pdu");
        QTRY_VERIFY(server.hasPendingConnections()); // the relay works in this event loop
        QTcpSocket *peer = server.nextPendingConnection();
        QByteArray received;
        QTRY_VERIFY((received += peer->readAll()).endsWith(send ? "\r\n\r\npdu" : "\r\n\r\n"));
        QVERIFY(received.contains("\r\nHost: [::1]:" + QByteArray::number(server.serverPort()) + "\r\n"));
        peer->write(HttpTestServer::reply(200, "v6"));
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(0), 200);
        QCOMPARE(device.data(), QByteArray("v6"));
    }

    // https stays end to end: the manager's TLS passes the library's relay
    // untouched, both ways; the relay cannot read the answer, and the limits
    // still hold.
    void nmHttps_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<int>("cut"); // answer bytes sent before the server stalls; -1: all
        QTest::addColumn<qint64>("sizeFromBody"); // size limit: the body's size plus this
        QTest::addColumn<int>("code");
        QTest::newRow("MmsSenderNM, answer at the size limit") << true << -1 << qint64(0) << 200;
        QTest::newRow("MmsReceiverNM, answer at the size limit") << false << -1 << qint64(0) << 200;
        QTest::newRow("MmsReceiverNM, answer over the size limit")
            << false << -1 << qint64(-1) << int(QNetworkReply::UnknownContentError);
        QTest::newRow("MmsSenderNM, stall mid-body")
            << true << 1000 << qint64(0) << int(QNetworkReply::TimeoutError);
    }

    void nmHttps()
    {
        QFETCH(bool, send);
        QFETCH(int, cut);
        QFETCH(qint64, sizeFromBody);
        QFETCH(int, code);
        const QString key = m_home.filePath(QStringLiteral("key.pem"));
        const QString cert = m_home.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1" });
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        TlsServer server;
        server.certificate = QSslCertificate::fromPath(cert).value(0);
        QFile keyFile(key);
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        server.key = QSslKey(&keyFile, QSsl::Ec);
        QVERIFY(!server.certificate.isNull() && !server.key.isNull());
        const QByteArray pdu = HttpTestServer::pattern(5000), body = HttpTestServer::pattern(70000);
        server.tail = send ? pdu.right(100) : QByteArray("\r\n\r\n");
        server.answer = HttpTestServer::reply(200, body);
        if (cut >= 0)
            server.answer.truncate(cut);
        QVERIFY(server.listen(QHostAddress::LocalHost));

        const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = saved;
        trusting.setCaCertificates({ server.certificate });
        QSslConfiguration::setDefaultConfiguration(trusting);
        Transfer t(send, true);
        t.setLimits(1000, body.size() + sizeFromBody);
        Device device;
        t.start(QStringLiteral("https://127.0.0.1:%1/mms").arg(server.serverPort()), 0, &device, pdu);
        const bool ended = t.done.wait(20000);
        QSslConfiguration::setDefaultConfiguration(saved);
        QVERIFY(ended);
        QCOMPARE(t.code(0), code);
        QCOMPARE(device.data(), code == 200 ? body : QByteArray());
        QVERIFY(server.received.startsWith(send ? "POST /mms HTTP/1.1\r\n" : "GET /mms HTTP/1.1\r\n"));
        QVERIFY(server.received.contains("\r\nUser-Agent: " + s_ua + "\r\n"));
        QVERIFY(!server.received.contains("X-Tarnex"));
    }

    // No devices (the manager's variants: one deleted mid-transfer), also on
    // client errors: no crash, the completion still logged.
    void noDevices_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("code");
        for (bool send : { true, false }) {
            const char *ok = send ? "http://127.0.0.1:1/x" : "http://127.0.0.1:SERVER/x";
            QTest::addRow("%s", send ? "MmsSender" : "MmsReceiver") << send << false << ok << 200;
            QTest::addRow("%s", send ? "MmsSenderNM" : "MmsReceiverNM") << send << true << ok << 200;
            QTest::addRow("%s host not found", send ? "MmsSender" : "MmsReceiver")
                << send << false << "http://nosuchhost.invalid/m" << 2;
        }
    }

    void noDevices()
    {
        FETCH_TRANSFER(t);
        QFETCH(QString, address);
        QFETCH(int, code);
        auto *device = nm ? new Device : nullptr;
        DebugFlag on(true);
        LogCapture log;
        t.start(
            withPort(address, m_server->port()), code == 200 ? m_server->port() : 80, device, QByteArray());
        if (nm) {
            QVERIFY(m_server->waitForRequests(1));
            delete device;
        }
        m_server->enqueue(HttpTestServer::reply(200, "dropped"));
        QVERIFY(t.done.wait(20000));
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        QCOMPARE(m_server->requestCount(), code == 200 ? 1 : 0);
        QCOMPARE(m_server->request(0).target, QByteArray(code == 200 ? "/x" : ""));
        QCOMPARE(m_server->request(0).bodySize, 0);
        QCOMPARE(log.matching(QStringLiteral("completed")).size(), 1);
        QCOMPARE(log.lines(QtWarningMsg), send && nm ? QStringList({ s_ignore }) : QStringList());
    }

    // Any answer ends the transfer once with the variant's code; a failing
    // device (read-only, or a file whose write fails only when flushed) is
    // no success. (Cut-off and refused ones: tests/faults.)
    void outcomes_data()
    {
        QTest::addColumn<bool>("send");
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("failingDevice");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("warning");
        const QByteArray ten = HttpTestServer::reply(200, "0123456789");
        const QString store = QStringLiteral("[LIBTARNEX] Could not store the downloaded PDU");
        const QString storeResponse = QStringLiteral("[LIBTARNEX] Could not store the MMSC's response");
        const QString readOnly = QStringLiteral("read-only"), full = QStringLiteral("/dev/full");
        auto row = [](const char *name, bool send, bool nm, const QByteArray &answer, int code,
                       const QByteArray &stored, const QString &failingDevice = QString(),
                       const QString &warning = QString()) {
            QTest::newRow(name) << send << nm << answer << failingDevice << code << stored << warning;
        };
        row("socket send 500", true, false, HttpTestServer::reply(500, "broken"), 500, "broken");
        row("nm send 200 empty", true, true, HttpTestServer::reply(200), 200, QByteArray(), QString(),
            s_ignore);
        // The error page is not handed on as if it were the MMSC's answer.
        row("nm send 404", true, true, HttpTestServer::reply(404, "not here"), 203, QByteArray());
        row("nm send failing device", true, true, ten, 299, QByteArray(), readOnly, storeResponse);
        row("socket send /dev/full", true, false, ten, QHttp::UnknownError, QByteArray(), full);
        row("nm send /dev/full", true, true, ten, 299, QByteArray(), full, storeResponse);
        row("socket get 404 page in device", false, false, HttpTestServer::reply(404, "expired"), 404,
            "expired");
        row("socket get malformed", false, false, "HTTP/1.1 abc\r\n\r\n", 5, QByteArray());
        row("nm get 404 page in device", false, true, HttpTestServer::reply(404, "gone"), 203, "gone");
        // A redirect is reported, never followed (Qt 6's manager would by itself).
        const QByteArray moved = "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 2\r\n\r\nmv";
        row("nm send 302 not followed", true, true, moved, 302, "mv");
        row("nm get 302 not followed", false, true, moved, 302, "mv");
        row("nm get failing device", false, true, ten, 299, QByteArray(), readOnly, store);
        row("nm get failing device, 404 stays", false, true, HttpTestServer::reply(404, "x"), 203,
            QByteArray(), readOnly, store);
        row("socket get /dev/full", false, false, ten, QHttp::UnknownError, QByteArray(), full);
        row("nm get /dev/full", false, true, ten, 299, QByteArray(), full, store);
    }

    void outcomes()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, answer);
        QFETCH(QString, failingDevice);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        QFETCH(QString, warning);
        QBuffer buffer;
        QFile file(failingDevice);
        QIODevice *device = &buffer;
        if (failingDevice.startsWith(QLatin1Char('/'))) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            device = &file;
        } else {
            buffer.open(failingDevice.isEmpty() ? QIODevice::WriteOnly : QIODevice::ReadOnly);
        }
        m_server->enqueue(HttpTestResponse(answer).close());
        DebugFlag off(false);
        LogCapture log;
        start(t, QStringLiteral("/m"), device);
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), code);
        QCOMPARE(buffer.data(), stored);
        QCOMPARE(log.lines(QtDebugMsg), QStringList());
        if (nm && failingDevice.isEmpty())
            QCOMPARE(log.lines(QtWarningMsg).size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(log.matching(warning).size(), 1);
    }

    // Two transfers back to back: both go out, only the second is reported.
    // The manager's variants drop their connections once a request with
    // connection_close has ended, but never under a transfer still running:
    // here the earlier, superseded one ends first.
    void secondTransferWins_data() { addKinds(); }

    void secondTransferWins()
    {
        FETCH_TRANSFER(t);
        if (nm)
            QVERIFY(writeConf(identityConf(s_ua, s_profile) + "connection_close=true\n"));
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
                m_server->enqueue(req.target == "/first"
                        ? HttpTestResponse(HttpTestServer::reply(201, "to/first"))
                        : HttpTestResponse()
                              .send("HTTP/1.1 202 Accepted\r\nContent-Length: 9\r\n\r\nto/")
                              .waitForRelease()
                              .send("second"));
            QTRY_COMPARE(log.matching(QStringLiteral("HTTP transaction finished")).size(), 1);
            m_server->release();
        }
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 202);
        QCOMPARE(second.data(), QByteArray("to/second"));
        QCOMPARE(first.data(), nm ? QByteArray() : QByteArray("to/first"));
        if (send)
            QCOMPARE(
                m_server->request(m_server->request(0).target == "/first" ? 0 : 1).body, QByteArray("first"));
        if (nm)
            QVERIFY(m_server->waitForOpenConnections(0));
    }

    // Proxy and identity are read afresh for every transfer: an emptied
    // proxy means a direct connection again.
    void proxyAndClearedProxy_data() { addKinds(); }

    void proxyAndClearedProxy()
    {
        FETCH_TRANSFER(t);
        TinyproxyProcess proxy;
        QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
        t.setProxy(QStringLiteral("127.0.0.1"), proxy.port());
        m_server->setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        Device first;
        start(t, QStringLiteral("/m?id=1"), &first, "one");
        QVERIFY(t.done.wait());
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(0), 200);
        QCOMPARE(first.data(), QByteArray("ok"));
        QVERIFY(
            proxy.waitForRequest((send ? "POST " : "GET ") + url(QStringLiteral("/m?id=1")) + " HTTP/1.1"));
        QCOMPARE(m_server->request(0).body, QByteArray(send ? "one" : ""));
        QCOMPARE(m_server->request(0).header("x-wap-profile"), s_profile);
        QVERIFY(!m_server->request(0).raw.contains("X-Tarnex"));
        QVERIFY(!m_server->request(0).header("Via").isEmpty());

        t.object->setProperty("proxy", QString());
        QVERIFY(writeConf(identityConf("Edited/2", "http://p.example/edited.xml")));
        Device second;
        start(t, QStringLiteral("/m?id=2"), &second, "two");
        QVERIFY(t.done.wait());
        QCOMPARE(t.code(1), 200);
        QCOMPARE(m_server->requestCount(), 2);
        QCOMPARE(m_server->request(1).target, QByteArray("/m?id=2"));
        QCOMPARE(m_server->request(1).header("Via"), QByteArray());
        QCOMPARE(m_server->request(1).header("User-Agent"), QByteArray("Edited/2"));
        QCOMPARE(m_server->request(1).header("x-wap-profile"), QByteArray("http://p.example/edited.xml"));
        QCOMPARE(proxy.requests().size(), 1);
    }

    // A PDU from a process or a socket comes in parts: it goes out whole once
    // its source has ended well. A source that fails or goes away first gave
    // no whole PDU.
    void sequentialPdu_data()
    {
        QTest::addColumn<bool>("nm");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("code");
        auto row = [](const char *name, bool nm, const char *source, const char *ending, int code) {
            QTest::newRow(name) << nm << QString::fromLatin1(source) << QString::fromLatin1(ending) << code;
        };
        row("MmsSender, process exits", false, "process", "exit 0", 200);
        row("MmsSenderNM, process exits", true, "process", "exit 0", 200);
        row("MmsSender, process exits 3", false, "process", "exit 3", 1);
        row("MmsSender, process killed", false, "process", "kill", 1);
        row("MmsSender, process deleted", false, "process", "delete", 1);
        row("MmsSender, peer closes socket", false, "socket", "end", 200);
        row("MmsSender, socket closed", false, "socket", "close", 1);
        // A device of the caller's own that says nothing when it goes.
        row("MmsSender, own device deleted", false, "own", "delete", 1);
    }

    void sequentialPdu()
    {
        QFETCH(bool, nm);
        QFETCH(QString, source);
        QFETCH(QString, ending);
        QFETCH(int, code);
        const QByteArray first = HttpTestServer::pattern(5000), second = HttpTestServer::pattern(7000, 5000);
        QTcpServer listener;
        QTcpSocket *peer = nullptr;
        QIODevice *pdu;
        if (source == QLatin1String("process")) {
            auto *process = new QProcess(this);
            process->start(QStringLiteral("/bin/sh"),
                { QStringLiteral("-c"), "cat; " + (ending.startsWith("exit") ? ending : QString()) });
            QVERIFY(process->waitForStarted());
            pdu = process;
        } else if (source == QLatin1String("own")) {
            pdu = new SilentDevice;
        } else {
            QVERIFY(listener.listen(QHostAddress::LocalHost));
            auto *socket = new QTcpSocket(this);
            socket->connectToHost(listener.serverAddress(), listener.serverPort());
            QVERIFY(socket->waitForConnected() && listener.waitForNewConnection(10000));
            peer = listener.nextPendingConnection();
            pdu = socket;
        }
        QIODevice *feed = peer ? static_cast<QIODevice *>(peer) : pdu;
        if (source != QLatin1String("own"))
            feed->write(first);
        m_server->enqueue(HttpTestServer::reply(200, "stored"));
        Transfer t(true, nm);
        auto *sender = static_cast<MmsSenderBase *>(t.object.get());
        sender->setMmsc(url(QStringLiteral("/m")));
        sender->setMmscPort(m_server->port());
        Device device;
        QSignalSpy arrived(pdu, &QIODevice::readyRead);
        sender->startMmsSend(pdu, &device);
        // The first part has come, and the sender took it.
        if (auto *own = dynamic_cast<SilentDevice *>(pdu))
            QTRY_VERIFY(own->reads > 0);
        else
            QVERIFY(arrived.wait());
        QTRY_COMPARE(pdu->bytesAvailable(), qint64(0));

        if (ending == QLatin1String("kill")) {
            static_cast<QProcess *>(pdu)->kill();
        } else if (ending == QLatin1String("close")) {
            pdu->close();
        } else if (ending == QLatin1String("delete")) {
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
        if (code == 200) {
            QCOMPARE(m_server->request(0).body, first + second);
            QCOMPARE(device.data(), QByteArray("stored"));
        } else {
            QCOMPARE(m_server->requestCount(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
