// MmsConnectionImpl with a host-name target, the real net-tools and real DNS
// servers in a peer namespace: the handset's own behind wlan0 (its default
// route and resolv.conf), the operator's behind gprs0. Both know the
// operator's names, each with its own side's address.
#include <QSignalSpy>
#include <QtTest>

#include "dnsmasqprocess.h"
#include "gprssimcontrol.h"
#include "iptool.h"
#include "limitsguard.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {

const QString OperatorDns = QStringLiteral("192.168.77.1");
const QString WlanDns = QStringLiteral("192.168.88.1");
const QString Silent = QStringLiteral("192.168.77.99"); // nobody has it: queries go unanswered
const int LookupMs = 1500;

// Host routes through gprs0, IPv4 then IPv6, by destination.
QStringList hostRoutes()
{
    QStringList out;
    for (const char *family : { "-4", "-6" }) {
        for (const QString &line : ip({ family, "-o", "route", "show", "dev", "gprs0" }).split('\n')) {
            const QString destination = line.section(' ', 0, 0);
            if (!destination.isEmpty() && !destination.contains('/'))
                out << destination;
        }
    }
    return out;
}

} // namespace

class TestConnectionDns : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    DnsmasqProcess m_operatorDns;
    DnsmasqProcess m_wlanDns;

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY2(m_sim.reset(), "gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
        const qint64 peer = qEnvironmentVariableIntValue("TARNEX_PEER_PID");
        QVERIFY2(peer > 0, "run through in-netns --veth wlan0 ... --veth gprs0 ...");
        // The handset's own network: everything goes out through wlan0.
        QCOMPARE(ip({ "addr", "add", "192.168.88.2/24", "dev", "wlan0" }), QString());
        QCOMPARE(ip({ "link", "set", "wlan0", "up" }), QString());
        QCOMPARE(ip({ "route", "add", "default", "via", WlanDns }), QString());

        QVERIFY(m_operatorDns.start(OperatorDns, 53,
            { "--address=/mmsc.operator.test/192.168.77.1", "--address=/mmsc.operator.test/fd77::1",
                "--address=/v6.operator.test/fd77::1", "--address=/evil.operator.test/127.0.0.1",
                "--local=/operator.test/" },
            peer));
        QVERIFY(m_wlanDns.start(WlanDns, 53,
            { "--address=/operator.test/192.168.88.1", "--address=/operator.test/fd88::1" }, peer));
    }

    // Routes come from the context's DNS servers' answer alone, asked through
    // gprs0 within the look-up limit; the handset's default route stays. A
    // name they do not resolve, or resolve to an address no route may go to,
    // fails the open and leaves nothing behind, whatever the handset's own
    // DNS server would say.
    void hostNameTarget_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("primary");
        QTest::addColumn<QString>("secondary");
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<QStringList>("routes"); // empty: the open fails
        QTest::newRow("primary silent") << "mmsc.operator.test" << Silent << OperatorDns << true
                                        << QStringList { "192.168.77.1", "fd77::1" };
        QTest::newRow("IPv6 off on gprs0")
            << "mmsc.operator.test" << OperatorDns << "" << false << QStringList { "192.168.77.1" };
        QTest::newRow("IPv6 only, off on gprs0")
            << "v6.operator.test" << OperatorDns << "" << false << QStringList();
        QTest::newRow("servers silent") << "mmsc.operator.test" << Silent << Silent << true << QStringList();
        QTest::newRow("loopback answer")
            << "evil.operator.test" << OperatorDns << "" << true << QStringList();
    }

    void hostNameTarget()
    {
        QFETCH(QString, target);
        QFETCH(QString, primary);
        QFETCH(QString, secondary);
        QFETCH(bool, ipv6);
        QFETCH(QStringList, routes);
        QVERIFY(m_sim.reset());
        QVERIFY(m_sim.setContextProperty("PDNSAddress", primary));
        QVERIFY(m_sim.setContextProperty("SDNSAddress", secondary));
        QFile off("/proc/sys/net/ipv6/conf/gprs0/disable_ipv6");
        QVERIFY(off.open(QIODevice::WriteOnly) && off.write(ipv6 ? "0\n" : "1\n") == 2);
        off.close();
        ConnectionLimits limits;
        limits.lookupMs = LookupMs;
        LimitsGuard shorter(limits);
        const int before = m_operatorDns.queries().size();

        MmsConnectionImpl c;
        c.setTarget(target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(c.openConnection("mms", QString(), QString()));
        QVERIFY(established.wait(LookupMs + 10000));
        QVERIFY2(clock.elapsed() < LookupMs + 4000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), routes.isEmpty() ? 1 : 0);

        QCOMPARE(hostRoutes(), routes);
        QCOMPARE(ip({ "route", "show", "default" }), "default via " + WlanDns + " dev wlan0");
        QCOMPARE(m_wlanDns.queries(), QStringList());
        if (primary != secondary) // from gprs0's address: it left through gprs0
            QTRY_VERIFY(m_operatorDns.queries().mid(before).join('\n').contains(target + " from 10.1.2.3"));
        if (routes.isEmpty()) {
            QVERIFY(!gprs0Up());
            QCOMPARE(QuelmGprs().getStatus().size(), 0);
            return;
        }
        QVERIFY(c.closeConnection());
        QCOMPARE(hostRoutes(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestConnectionDns)
#include "tst_connection_dns.moc"
