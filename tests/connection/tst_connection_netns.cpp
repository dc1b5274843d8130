// MmsConnectionImpl end to end with the real /sbin/ifconfig and /sbin/route,
// inside the private namespace of tests/launchers/in-netns --veth gprs0: the
// far end of gprs0 is a peer namespace with an HTTP server on PeerAddress,
// reachable only through the route the library adds. MMS goes there through
// the library's own socket sender.
#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "gprssimcontrol.h"
#include "mmsconnectionimpl.h"
#include "mmssender.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {

const QString PeerAddress = QStringLiteral("192.168.77.1");
const quint16 PeerPort = 8080;

// Output of `ip ARGS` in this namespace, trimmed.
QString ip(const QStringList &args)
{
    QProcess p;
    p.start("ip", args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return "ip failed: " + QString::fromLocal8Bit(p.readAllStandardError());
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

bool gprs0Up()
{
    return ip({ "-o", "link", "show", "gprs0" }).contains(QRegularExpression("[<,]UP[,>]"));
}

// Opens towards `target` and returns the one answer's code, or -1.
int open(MmsConnectionImpl &c, const QString &target)
{
    c.setTarget(target);
    QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
    if (!c.openConnection("mms", QString(), QString()) || !established.wait(30000)
        || established.count() != 1)
        return -1;
    return established.at(0).at(0).toInt();
}

} // namespace

class TestConnectionNetns : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    QProcess m_server;
    QTemporaryDir m_home; // no settings file: the sender's default identity

    // POSTs `pdu` to the peer's server with the library's own sender, as an
    // MMS client would: the HTTP outcome code and the server's answer.
    QPair<int, QByteArray> send(QByteArray pdu)
    {
        MmsSender sender;
        sender.setMmsc(QString("http://%1/mms").arg(PeerAddress));
        sender.setMmscPort(PeerPort);
        QBuffer in(&pdu), out;
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        QSignalSpy complete(&sender, SIGNAL(mmsSendComplete(int)));
        sender.startMmsSend(&in, &out);
        const int code = complete.wait(30000) && complete.count() == 1 ? complete.at(0).at(0).toInt() : -1;
        return { code, out.data() };
    }

    QString serverLine()
    {
        if (!m_server.canReadLine() && !m_server.waitForReadyRead(10000))
            return QString();
        return QString::fromLatin1(m_server.readLine()).trimmed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!insideTestNetns(&why))
            QFAIL(qPrintable(why));
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY2(m_sim.reset(), "gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
        const QString peer = qEnvironmentVariable("TARNEX_PEER_PID");
        QVERIFY2(!peer.isEmpty(), "run through in-netns --veth gprs0 ...");
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start("nsenter",
            { "--net=/proc/" + peer + "/ns/net", PEER_HTTP_SERVER, PeerAddress, QString::number(PeerPort) });
        QCOMPARE(serverLine(), QString("ready"));
        QVERIFY(!gprs0Up());
    }

    void cleanupTestCase()
    {
        m_server.kill();
        m_server.waitForFinished();
    }

    void init() { QVERIFY(m_sim.reset()); }

    // The route the library adds carries the MMS traffic, and is gone with
    // the interface after the close. Twice: a second open after a close must
    // find nothing left in its way.
    void routeToTarget_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("host route") << PeerAddress;
        QTest::newRow("default route") << QString();
    }

    void routeToTarget()
    {
        QFETCH(QString, target);
        const QByteArray pdu = QByteArray(3000, '\x8c') + QByteArray("\x00\x01\x02\r\n\r\n", 7);
        const QByteArray md5 = QCryptographicHash::hash(pdu, QCryptographicHash::Md5).toHex();
        const auto unreachable = [&]() {
            const auto sent = send(pdu);
            return sent.first > 0 && sent.first != 200 && sent.second.isEmpty();
        };
        QVERIFY(unreachable());

        for (int round = 0; round < 2; ++round) {
            MmsConnectionImpl c;
            QCOMPARE(open(c, target), 0);
            QVERIFY(gprs0Up());
            QVERIFY(ip({ "-o", "-4", "addr", "show", "dev", "gprs0" }).contains("inet 10.1.2.3/8"));
            QCOMPARE(ip({ "route", "show", "default" }),
                target.isEmpty() ? QString("default dev gprs0 scope link") : QString());
            if (!target.isEmpty())
                QCOMPARE(ip({ "route", "show", target }), target + " dev gprs0 scope link");

            QCOMPARE(send(pdu), qMakePair(200, "received " + QByteArray::number(pdu.size()) + ' ' + md5));
            QCOMPARE(serverLine(), QString("request POST /mms %1 %2").arg(pdu.size()).arg(QString(md5)));

            QVERIFY(c.closeConnection());
            QVERIFY(!gprs0Up());
            QCOMPARE(ip({ "route", "show", "dev", "gprs0" }), QString());
            QVERIFY(unreachable());
            QCOMPARE(QuelmGprs().getStatus().size(), 0);
        }
    }

    // Exit codes of the real programs: an interface that does not exist, or
    // a route the kernel refuses (it is there already), fails the open, and
    // the attempt leaves no interface up, route or context behind.
    void realFailures_data()
    {
        QTest::addColumn<QString>("iface");
        QTest::newRow("no such interface") << "gprs9";
        QTest::newRow("route exists") << "gprs0";
    }

    void realFailures()
    {
        QFETCH(QString, iface);
        QVERIFY(m_sim.setContextProperty("NetIF", iface));
        if (iface == "gprs0") {
            QCOMPARE(ip({ "link", "set", "gprs0", "up" }), QString());
            QCOMPARE(ip({ "route", "add", PeerAddress, "dev", "gprs0" }), QString());
        }
        MmsConnectionImpl c;
        QCOMPARE(open(c, PeerAddress), 1);
        QVERIFY(!gprs0Up());
        QCOMPARE(ip({ "route", "show", PeerAddress }), QString());
        QCOMPARE(QuelmGprs().getStatus().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestConnectionNetns)
#include "tst_connection_netns.moc"
