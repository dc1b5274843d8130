// Open/close cycles of the cellular-service connection in one process: each
// comes up and goes down, and nothing is left over afterwards.
#include <QSignalSpy>
#include <QtTest>
#include <memory>

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

    // The simulator's and the tools' call logs are the test's, not the library's.
    void settle()
    {
        QVERIFY(m_sim.reset());
        m_tools.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY(m_tools.isValid());
        QVERIFY(m_sim.reset());
    }

    void cycles_data()
    {
        QTest::addColumn<bool>("objectPerCycle");
        QTest::newRow("one object") << false;
        // Its status wrapper's match rules and D-Bus objects go with it.
        QTest::newRow("object per cycle") << true;
    }

    void cycles()
    {
        QFETCH(bool, objectPerCycle);
        const int total = objectPerCycle ? enduranceCount(300, 10) : enduranceCount(1000, 20);
        const int warmUp = qMax(5, total / 10);
        std::unique_ptr<MmsConnectionImpl> shared(objectPerCycle ? nullptr : new MmsConnectionImpl);
        Resources before;
        for (int i = 0; i < total; ++i) {
            if (i == warmUp) {
                settle();
                before = Resources::count(shared.get());
            }
            std::unique_ptr<MmsConnectionImpl> own(objectPerCycle ? new MmsConnectionImpl : nullptr);
            QVERIFY2(cycle(objectPerCycle ? *own : *shared), qPrintable(QStringLiteral("cycle %1").arg(i)));
        }
        settle();
        const Resources after = Resources::count(shared.get());
        QVERIFY(after.matchRules >= 0);
        compareResources(before, after, total);
    }
};

QTEST_GUILESS_MAIN(tst_ConnectionEndurance)
#include "tst_connectionendurance.moc"
