// MmsConnectionImpl when the GPRS service or the bus fails it: one defined
// outcome within the library's own time limits, never "up" when it is not.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

#include "faketools.h"
#include "gprssimcontrol.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"

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
        if (!insideTestNetns(&why))
            QSKIP(qPrintable(why));
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

    // "Delete" never answered: the close gives up at the D-Bus timeout with
    // the interface down; a later close does not try again.
    void deleteNeverAnswered()
    {
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        m_tools.clear();
        QVERIFY(m_sim.holdNext(QStringLiteral("Delete")));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(c.closeConnection(), false);
        QVERIFY(clock.elapsed() < 60000);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QVERIFY(m_sim.releaseHeld());
        QCOMPARE(c.closeConnection(), true);
        QCOMPARE(m_sim.calls(QStringLiteral("Delete")).size(), 1);
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
