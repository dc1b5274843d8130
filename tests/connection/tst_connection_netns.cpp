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
    p.start(QStringLiteral("ip"), args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return QStringLiteral("ip failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

bool interfaceUp(const QString &iface)
{
    const QString link = ip({ QStringLiteral("-o"), QStringLiteral("link"), QStringLiteral("show"), iface });
    const int open = link.indexOf(QLatin1Char('<')), close = link.indexOf(QLatin1Char('>'));
    return link.mid(open + 1, close - open - 1).split(QLatin1Char(',')).contains(QLatin1String("UP"));
}

} // namespace

class TestConnectionNetns : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    QProcess m_server;
    QTemporaryDir m_home; // no settings file: the sender's default identity

    // Sends `pdu` to the peer's server with the library's own sender, as an
    // MMS client would; the HTTP outcome code goes to *code and the server's
    // answer is returned.
    QByteArray send(const QByteArray &pdu, int *code)
    {
        MmsSender sender;
        sender.setMmsc(QStringLiteral("http://%1/mms").arg(PeerAddress));
        sender.setMmscPort(PeerPort);
        QByteArray pduBytes = pdu;
        QBuffer in(&pduBytes);
        QBuffer out;
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        QSignalSpy complete(&sender, SIGNAL(mmsSendComplete(int)));
        sender.startMmsSend(&in, &out);
        *code = complete.wait(30000) && complete.count() == 1 ? complete.at(0).at(0).toInt() : -1;
        return out.data();
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
        const QByteArray peer = qgetenv("TARNEX_PEER_PID");
        QVERIFY2(!peer.isEmpty(), "run through in-netns --veth gprs0 ...");
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral("nsenter"),
            { QStringLiteral("--net=/proc/%1/ns/net").arg(QString::fromLatin1(peer)),
                QStringLiteral(PEER_HTTP_SERVER), PeerAddress, QString::number(PeerPort) });
        QCOMPARE(serverLine(), QStringLiteral("ready"));
        QVERIFY(!interfaceUp(QStringLiteral("gprs0")));
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
        int code = 0;
        QCOMPARE(send(pdu, &code), QByteArray()); // unreachable before the connection
        QVERIFY(code > 0 && code != 200);

        for (int round = 0; round < 2; ++round) {
            MmsConnectionImpl c;
            c.setTarget(target);
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
            QVERIFY(established.wait(30000));
            QCOMPARE(established.at(0).at(0).toInt(), 0);
            QVERIFY(interfaceUp(QStringLiteral("gprs0")));
            QVERIFY(ip({ "-o", "-4", "addr", "show", "dev", "gprs0" })
                        .contains(QLatin1String("inet 10.1.2.3/8")));
            if (target.isEmpty()) {
                QCOMPARE(ip({ "route", "show", "default" }), QStringLiteral("default dev gprs0 scope link"));
            } else {
                QCOMPARE(ip({ "route", "show", "default" }), QString());
                QCOMPARE(ip({ "route", "show", target }), target + QStringLiteral(" dev gprs0 scope link"));
            }

            QCOMPARE(send(pdu, &code), "received " + QByteArray::number(pdu.size()) + ' ' + md5);
            QCOMPARE(code, 200);
            QCOMPARE(serverLine(),
                QStringLiteral("request POST /mms %1 %2").arg(pdu.size()).arg(QLatin1String(md5)));

            QVERIFY(c.closeConnection());
            QVERIFY(!interfaceUp(QStringLiteral("gprs0")));
            QCOMPARE(ip({ "route", "show", "dev", "gprs0" }), QString());
            QCOMPARE(send(pdu, &code), QByteArray());
            QVERIFY(code > 0 && code != 200);
            QCOMPARE(QuelmGprs().getStatus().size(), 0);
        }
    }

    // Exit codes of the real programs: an interface that does not exist
    // fails both commands, and the attempt leaves nothing behind.
    void missingInterface()
    {
        QVERIFY(m_sim.setContextProperty(QStringLiteral("NetIF"), QStringLiteral("gprs9")));
        MmsConnectionImpl c;
        c.setTarget(PeerAddress);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(30000));
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(QuelmGprs().getStatus().size(), 0);
        QCOMPARE(ip({ "route", "show", PeerAddress }), QString());
    }

    // A route the kernel refuses (it is there already: route exits 7) fails
    // the open; the interface brought up for it goes down again.
    void routeRefusedRollsBack()
    {
        QCOMPARE(ip({ "link", "set", "gprs0", "up" }), QString());
        QCOMPARE(ip({ "route", "add", PeerAddress, "dev", "gprs0" }), QString());
        MmsConnectionImpl c;
        c.setTarget(PeerAddress);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(30000));
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QVERIFY(!interfaceUp(QStringLiteral("gprs0")));
        QCOMPARE(ip({ "route", "show", "dev", "gprs0" }), QString());
        QCOMPARE(QuelmGprs().getStatus().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestConnectionNetns)
#include "tst_connection_netns.moc"
