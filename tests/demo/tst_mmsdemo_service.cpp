// The demo client when the GPRS service is absent, refuses, or never answers:
// exit status 3 and a message within the client's own time limit.
#include <QProcess>
#include <QtTest>

#include "gprssimcontrol.h"
#include "netnsguard.h"

class TestMmsDemoService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
    }
    void init() { QVERIFY(m_sim.reset()); }
    void cleanup()
    {
        m_sim.releaseHeld();
        m_sim.setServicePresent(true);
    }

    void noConnection_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("message");
        const QString gprs = QStringLiteral("gprs"), net = QStringLiteral("net");
        QTest::newRow("absent (gprs)")
            << gprs << QStringLiteral("absent") << QByteArray("not on the system bus");
        QTest::newRow("absent (net)")
            << net << QStringLiteral("absent") << QByteArray("connectionEstablished(1)");
        QTest::newRow("refuses") << gprs << QStringLiteral("refuses")
                                 << QByteArray("org.freedesktop.DBus.Error.AccessDenied");
        const QByteArray silent = "no answer to the connect request within 3 s";
        QTest::newRow("never answers (gprs)") << gprs << QStringLiteral("silent") << silent;
        QTest::newRow("never answers (net)") << net << QStringLiteral("silent") << silent;
    }
    void noConnection()
    {
        QFETCH(QString, connection);
        QFETCH(QString, fault);
        QFETCH(QByteArray, message);
        const QString quickConnect = QStringLiteral("QuickConnect");
        if (fault == QLatin1String("absent"))
            QVERIFY(m_sim.setServicePresent(false));
        else if (fault == QLatin1String("refuses"))
            QVERIFY(m_sim.failNext(quickConnect, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")));
        else
            QVERIFY(m_sim.holdNext(quickConnect));
        QProcess p;
        p.start(QStringLiteral(MMS_DEMO),
            { QStringLiteral("--connection"), connection, QStringLiteral("--connect-timeout"),
                QStringLiteral("3") });
        QVERIFY2(p.waitForFinished(60000), "mms-demo did not finish within 60 s"); // it bounds its own waits
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 3, err);
        QVERIFY2(err.contains(message), err);
        if (fault == QLatin1String("silent"))
            QVERIFY(m_sim.waitForCalls(quickConnect));
    }

private:
    GprsSimControl m_sim;
};

QTEST_GUILESS_MAIN(TestMmsDemoService)
#include "tst_mmsdemo_service.moc"
