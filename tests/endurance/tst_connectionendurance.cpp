// A thousand open/close cycles of the cellular-service connection in one
// process: each one comes up and goes down, and afterwards nothing is left
// over: no file descriptors, no child processes (the interface and route
// commands), no match rules on the bus, no objects, no heap.
//
// Runs inside tests/launchers/in-netns --fake-net-tools on a private bus
// with gprs-sim, like the other connection tests.
#include <QSignalSpy>
#include <QtTest>

#include "faketools.h"
#include "gprssimcontrol.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "resources.h"

class tst_ConnectionEndurance : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    FakeTools m_tools;

    static bool cycle(MmsConnectionImpl &c)
    {
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        if (!c.openConnection(QStringLiteral("mms"), QStringLiteral("user"), QStringLiteral("s3cret"))
            || !established.wait(20000) || established.count() != 1 || established.at(0).at(0).toInt() != 0
            || c.interfaceName() != QLatin1String("gprs0"))
            return false;
        return c.closeConnection();
    }

    // The call log of the simulator's control grows with every call; it is
    // the test's, not the library's, so it is emptied before each count.
    void settle()
    {
        QVERIFY(m_sim.reset());
        m_tools.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void compare(const Resources &before, const Resources &after, int cycles)
    {
        qInfo() << cycles << "cycles; after warm-up:" << before << "; at the end:" << after;
        QCOMPARE(after.fds, before.fds);
        QCOMPARE(after.children, before.children);
        QCOMPARE(after.matchRules, before.matchRules);
        QVERIFY(after.matchRules >= 0);
        QCOMPARE(after.objects, before.objects);
        if (Resources::heapIsMeasurable())
            QVERIFY2(after.heap - before.heap < 64 * 1024,
                     qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after.heap - before.heap)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!insideTestNetns(&why))
            QSKIP(qPrintable(why));
        QVERIFY(m_tools.isValid());
        QVERIFY(m_sim.reset());
    }

    void cyclesOnOneObject()
    {
        const int total = enduranceCount(1000, 20);
        const int warmUp = qMax(5, total / 10);
        MmsConnectionImpl c;
        for (int i = 0; i < warmUp; ++i)
            QVERIFY2(cycle(c), qPrintable(QStringLiteral("cycle %1").arg(i)));
        settle();
        const Resources before = Resources::count(&c);
        for (int i = warmUp; i < total; ++i)
            QVERIFY2(cycle(c), qPrintable(QStringLiteral("cycle %1").arg(i)));
        settle();
        compare(before, Resources::count(&c), total);
    }

    // A new connection object per cycle: its status wrapper's match rules
    // and D-Bus objects must go with it.
    void objectPerCycle()
    {
        const int total = enduranceCount(300, 10);
        const int warmUp = qMax(5, total / 10);
        for (int i = 0; i < warmUp; ++i) {
            MmsConnectionImpl c;
            QVERIFY2(cycle(c), qPrintable(QStringLiteral("cycle %1").arg(i)));
        }
        settle();
        const Resources before = Resources::count(nullptr);
        for (int i = warmUp; i < total; ++i) {
            MmsConnectionImpl c;
            QVERIFY2(cycle(c), qPrintable(QStringLiteral("cycle %1").arg(i)));
        }
        settle();
        compare(before, Resources::count(nullptr), total);
    }
};

QTEST_GUILESS_MAIN(tst_ConnectionEndurance)
#include "tst_connectionendurance.moc"
