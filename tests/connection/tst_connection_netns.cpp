// MmsConnectionImpl with the real /sbin/ifconfig and /sbin/route (in-netns
// --veth gprs0): the far end of gprs0 is a peer namespace with a listening
// socket, reachable only through the route the library adds.
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "gprssimcontrol.h"
#include "iptool.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {

const QString PeerAddress = QStringLiteral("192.168.77.1");
const quint16 PeerPort = 8080;

bool peerReachable()
{
    QTcpSocket socket;
    socket.connectToHost(PeerAddress, PeerPort);
    return socket.waitForConnected(10000);
}

int openTo(MmsConnectionImpl &c, const QString &target)
{
    c.setTarget(target);
    QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
    if (!c.openConnection("mms", QString(), QString()) || !established.wait(30000)
        || established.count() != 1)
        return -1;
    return established.at(0).at(0).toInt();
}

// A socket stays in the namespace it was made in: the server listens in the
// peer's, and this thread goes straight back to its own.
bool listenInPeer(QTcpServer &server)
{
    const QByteArray peerNs = "/proc/" + qgetenv("TARNEX_PEER_PID") + "/ns/net";
    const int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int peer = ::open(peerNs.constData(), O_RDONLY | O_CLOEXEC);
    bool ok = false;
    if (own >= 0 && peer >= 0 && ::setns(peer, CLONE_NEWNET) == 0) {
        ok = server.listen(QHostAddress(PeerAddress), PeerPort);
        if (::setns(own, CLONE_NEWNET) != 0)
            qFatal("cannot return to the test's own network namespace");
    }
    ::close(own);
    ::close(peer);
    return ok;
}

} // namespace

class TestConnectionNetns : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    QTcpServer m_peer;

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY2(m_sim.reset(), "gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
        QVERIFY2(qEnvironmentVariableIsSet("TARNEX_PEER_PID"), "run through in-netns --veth gprs0 ...");
        QVERIFY(listenInPeer(m_peer));
        QVERIFY(!gprs0Up());
    }

    void init() { QVERIFY(m_sim.reset()); }

    // The route the library adds carries traffic, and is gone with the
    // interface after the close. Twice: a second open after a close must find
    // nothing left in its way.
    void routeToTarget_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("host route") << PeerAddress;
        QTest::newRow("default route") << QString();
    }

    void routeToTarget()
    {
        QFETCH(QString, target);
        QVERIFY(!peerReachable());

        for (int round = 0; round < 2; ++round) {
            MmsConnectionImpl c;
            QCOMPARE(openTo(c, target), 0);
            QVERIFY(gprs0Up());
            QVERIFY(ip({ "-o", "-4", "addr", "show", "dev", "gprs0" }).contains("inet 10.1.2.3/8"));
            QCOMPARE(ip({ "route", "show", "default" }),
                target.isEmpty() ? QString("default dev gprs0 scope link") : QString());
            if (!target.isEmpty())
                QCOMPARE(ip({ "route", "show", target }), target + " dev gprs0 scope link");
            QVERIFY(peerReachable());

            QVERIFY(c.closeConnection());
            QVERIFY(!gprs0Up());
            QCOMPARE(ip({ "route", "show", "dev", "gprs0" }), QString());
            QVERIFY(!peerReachable());
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
        QCOMPARE(openTo(c, PeerAddress), 1);
        QVERIFY(!gprs0Up());
        QCOMPARE(ip({ "route", "show", PeerAddress }), QString());
        QCOMPARE(QuelmGprs().getStatus().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestConnectionNetns)
#include "tst_connection_netns.moc"
