// MmsConnectionImpl when the GPRS service or the bus fails it, or the service
// names what must not be configured: one defined outcome within the library's
// own time limits, never "up" when it is not.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>
#include <optional>

#include <csignal>
#include <sys/types.h>

#include "faketools.h"
#include "gprssimcontrol.h"
#include "interfacenames.h"
#include "limitsguard.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {

const QString Service = QStringLiteral("com.orvel.quelm.GPRS");

// The process that owns a name on the bus ("org.freedesktop.DBus": the daemon).
qint64 ownerPid(const QString &name)
{
    const QDBusReply<uint> pid = QDBusConnection::systemBus().interface()->servicePid(name);
    return pid.isValid() ? qint64(pid.value()) : -1;
}

} // namespace

class tst_ConnectionFaults : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    FakeTools m_tools;
    QPair<QString, QString> m_renamed;

    // Renames a link of this test namespace; cleanup() names it back.
    bool renameLink(const QString &from, const QString &to)
    {
        const bool ok = QProcess::execute("ip", { "link", "set", from, "down" }) == 0
            && QProcess::execute("ip", { "link", "set", from, "name", to }) == 0;
        if (ok)
            m_renamed = { to, from };
        return ok;
    }

    bool openOk(MmsConnectionImpl &c)
    {
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        if (!c.openConnection(QStringLiteral("mms"), QString(), QString()) || !established.wait(10000))
            return false;
        return established.count() == 1 && established.at(0).at(0).toInt() == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY(m_tools.isValid());
    }

    void init()
    {
        // A case that kills the service or the bus runs alone (TARNEX_FAULT_CASE).
        const QByteArray only = qgetenv("TARNEX_FAULT_CASE");
        const QByteArray current = QTest::currentTestFunction();
        const bool destructive = current == "serviceDiesBeforePropertyReads" || current == "busGoesAway";
        if (only.isEmpty() ? destructive : only != current)
            QSKIP("runs as a ctest case of its own");
        QVERIFY(m_sim.reset());
        m_tools.clear();
    }

    void cleanup()
    {
        if (m_renamed.first.isEmpty())
            return;
        QCOMPARE(QProcess::execute("ip", { "link", "set", m_renamed.first, "name", m_renamed.second }), 0);
        QCOMPARE(QProcess::execute("ip", { "link", "set", m_renamed.second, "up" }), 0);
        m_renamed = {};
    }

    // What the service says, or leaves unsaid. Values ifconfig and route must
    // not get are refused before any command runs, like malformed ones; a call
    // left unanswered holds this thread no longer than the library's limit
    // (per property read, for Delete) and never counts as done.
    // `script` runs first: "open" (a successful one), "set PROPERTY VALUE",
    // "hold MEMBER MS" (-1: for ever), "fail MEMBER ERROR", "absent",
    // "rename lo NAME", "interfaceName NAME" (set by the client); then
    // `operation`, after which `outcome` lists the commands it ran, its
    // result and the contexts left on the service.
    void serviceTable_data()
    {
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("outcome");
        const QString down = FakeTools::down();
        const QStringList refused = { "established 1", "contexts 0" };
        QTest::newRow("no property read answered")
            << QStringList({ "hold Get -1", "hold Get -1", "hold Get -1", "hold Get -1" }) << "open"
            << refused;
        // Going on would bring the new context up with the old interface name.
        QTest::newRow("NetIF read unanswered on a re-open")
            << QStringList({ "open", "hold Get 1", "hold Get 1", "hold Get 1", "hold Get -1" }) << "open"
            << QStringList({ "established 1", "contexts 1" });
        QTest::newRow("Delete unanswered at close") << QStringList({ "open", "hold Delete -1" }) << "close"
                                                    << QStringList({ down, "failed", "contexts 0" });
        QTest::newRow("client names lo before the close")
            << QStringList({ "open", "interfaceName lo" }) << "close" << QStringList({ "contexts 0" });
        QTest::newRow("service's error")
            << QStringList({ "fail QuickConnect com.orvel.quelm.GPRS.Error.NotAttached" }) << "open"
            << QStringList({ "established " + QString::number(int(QDBusError::Other)), "contexts 0" });
        QTest::newRow("service absent")
            << QStringList({ "absent" }) << "open"
            << QStringList(
                   { "established " + QString::number(int(QDBusError::ServiceUnknown)), "contexts 0" });
        for (const QString &name : refusedInterfaceNames() + QStringList(QStringLiteral("lo")))
            QTest::addRow("interface '%s'", qUtf8Printable(name))
                << QStringList({ "set NetIF " + name }) << "open" << refused;
        QTest::newRow("interface: renamed loopback")
            << QStringList({ "rename lo lback", "set NetIF lback" }) << "open" << refused;
        for (const char *address : { "", "10.1", "010.1.2.3", "10.1.2.3 up", "10.1.2.3/8", "fe80::1%gprs0",
                 "host", "0.0.0.0", "0.1.2.3", "127.0.0.1", "255.255.255.255", "224.0.0.1", "::", "::1",
                 "ff02::1", "::ffff:127.0.0.1" })
            QTest::addRow("address '%s'", address)
                << QStringList({ QString("set PDPAddress ") + address }) << "open" << refused;
    }

    void serviceTable()
    {
        QFETCH(QStringList, script);
        QFETCH(QString, operation);
        QFETCH(QStringList, outcome);
        MmsConnectionImpl c;
        c.setTarget(QStringLiteral("192.168.77.1"));
        for (const QString &step : script) {
            const QStringList w = step.split(' ');
            if (w[0] == "open")
                QVERIFY(openOk(c));
            else if (w[0] == "set")
                QVERIFY(m_sim.setContextProperty(w[1], step.section(QLatin1Char(' '), 2)));
            else if (w[0] == "hold")
                QVERIFY(m_sim.holdNext(w[1], w[2].toInt()));
            else if (w[0] == "fail")
                QVERIFY(m_sim.failNext(w[1], w[2]));
            else if (w[0] == "absent")
                QVERIFY(m_sim.setServicePresent(false));
            else if (w[0] == "rename")
                QVERIFY(renameLink(w[1], w[2]));
            else if (w[0] == "interfaceName")
                c.setInterfaceName(w[1]);
        }
        m_tools.clear();
        // What is held is waited for at the library's limits, shortened here.
        const bool held = !script.filter(QStringLiteral("hold ")).isEmpty();
        ConnectionLimits limits;
        limits.propertyReadMs = limits.deleteMs = 500;
        std::optional<LimitsGuard> shorter;
        if (held)
            shorter.emplace(limits);
        QStringList seen;
        QElapsedTimer clock;
        clock.start();
        if (operation == "open") {
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
            QVERIFY(established.wait(10000));
            QCOMPARE(established.count(), 1);
            seen << "established " + QString::number(established.at(0).at(0).toInt());
        } else if (!c.closeConnection()) {
            seen << "failed";
        }
        // The handling blocks this thread, so the spy may see the signal only
        // when it is over: the clock tells.
        QVERIFY2(clock.elapsed() < (held ? 500 + 2000 : 10000), qPrintable(QString::number(clock.elapsed())));
        QVERIFY(m_sim.setServicePresent(true));
        seen = m_tools.calls() + seen;
        seen << "contexts " + QString::number(QuelmGprs().getStatus().size());
        QCOMPARE(seen, outcome);
    }

    // The service dies after its QuickConnect answer, while the library reads
    // the context's properties: the open fails, no command runs.
    void serviceDiesBeforePropertyReads()
    {
        const qint64 simPid = ownerPid(Service);
        QVERIFY(simPid > 0);
        QVERIFY(m_sim.holdNext(QStringLiteral("Get")));

        // The property read blocks this thread: kill from another one.
        QThread *killer = QThread::create([simPid] {
            GprsSimControl watcher;
            if (watcher.waitForCalls(QStringLiteral("Get"), 1, 20000))
                ::kill(pid_t(simPid), SIGKILL);
        });
        killer->start();

        MmsConnectionImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QStringLiteral("alice"), QStringLiteral("s3cret")));
        QTRY_COMPARE_WITH_TIMEOUT(established.count(), 1, 60000);
        QVERIFY(killer->wait(30000));
        delete killer;
        QVERIFY(established.at(0).at(0).toInt() != 0);
        QCOMPARE(m_tools.calls(), QStringList());
        // Nothing is open, so nothing is to close.
        QCOMPARE(c.closeConnection(), true);
        QCOMPARE(m_tools.calls(), QStringList());
    }

    // The bus dies under an open connection: closing still takes the
    // interface down and reports failure; opening again fails at once.
    void busGoesAway()
    {
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        m_tools.clear();
        const qint64 busPid = ownerPid(QStringLiteral("org.freedesktop.DBus"));
        QVERIFY(busPid > 0);
        QCOMPARE(::kill(pid_t(busPid), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::systemBus().isConnected(), 20000);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(c.closeConnection(), false);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));

        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        c.openConnection(QStringLiteral("mms"), QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(established.count(), 1, 20000);
        QVERIFY(established.at(0).at(0).toInt() != 0);
        QVERIFY(clock.elapsed() < 20000);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
    }
};

QTEST_GUILESS_MAIN(tst_ConnectionFaults)
#include "tst_connectionfaults.moc"
