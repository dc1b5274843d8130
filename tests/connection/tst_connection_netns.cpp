// MmsConnectionImpl with the real /sbin/ifconfig and /sbin/route (in-netns
// --veth gprs0): how their refusals end. That the routes they add carry the
// traffic, and go with the close, the demo's round trips show (demo,
// demo_addresses).
#include <QSignalSpy>
#include <QtTest>

#include "gprssimcontrol.h"
#include "iptool.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {

const QString PeerAddress = QStringLiteral("192.168.77.1");

int openTo(MmsConnectionImpl &c, const QString &target)
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

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY2(m_sim.reset(), "gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
        QVERIFY(!gprs0Up());
    }

    void init() { QVERIFY(m_sim.reset()); }

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
