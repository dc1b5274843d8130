// The demo client when the connection cannot be had: the GPRS service is
// absent, refuses, or never answers. Each ends with exit status 3 and a
// message, within the client's own time limit. Runs on a private bus with
// gprs-sim, inside a network namespace with fake net tools, so a connection
// that did come up by mistake could touch nothing.
#include <QProcess>
#include <QtTest>

#include "gprssimcontrol.h"
#include "netnsguard.h"

namespace {
struct Run
{
    int exitCode = -1;
    QByteArray err;
};

Run demo(const QString &connection, const QStringList &extra = {})
{
    QProcess p;
    p.start(QStringLiteral(MMS_DEMO),
        QStringList { QStringLiteral("--connection"), connection, QStringLiteral("--connect-timeout"),
            QStringLiteral("3") }
            + extra);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "mms-demo did not finish within 60 s";
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = p.readAllStandardError();
    return r;
}
} // namespace

class TestMmsDemoService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!insideTestNetns(&why))
            QSKIP(qPrintable(why));
        QVERIFY(!qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"));
    }
    void init() { QVERIFY(m_sim.reset()); }
    void cleanup()
    {
        m_sim.releaseHeld();
        m_sim.setServicePresent(true);
    }

    void serviceAbsent_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("gprs") << QStringLiteral("gprs") << QByteArray("not on the system bus");
        QTest::newRow("net") << QStringLiteral("net") << QByteArray("connectionEstablished(1)");
    }
    void serviceAbsent()
    {
        QFETCH(QString, connection);
        QFETCH(QByteArray, message);
        QVERIFY(m_sim.setServicePresent(false));
        const Run r = demo(connection);
        QVERIFY2(r.exitCode == 3, r.err);
        QVERIFY2(r.err.contains(message), r.err);
    }

    void serviceRefuses()
    {
        QVERIFY(m_sim.failNext(
            QStringLiteral("QuickConnect"), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")));
        const Run r = demo(QStringLiteral("gprs"));
        QVERIFY2(r.exitCode == 3, r.err);
        QVERIFY2(r.err.contains("org.freedesktop.DBus.Error.AccessDenied"), r.err);
    }

    void serviceNeverAnswers_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::newRow("gprs") << QStringLiteral("gprs");
        QTest::newRow("net") << QStringLiteral("net");
    }
    void serviceNeverAnswers()
    {
        QFETCH(QString, connection);
        QVERIFY(m_sim.holdNext(QStringLiteral("QuickConnect")));
        const Run r = demo(connection);
        QVERIFY2(r.exitCode == 3, r.err);
        QVERIFY2(r.err.contains("no answer to the connect request within 3 s"), r.err);
        QVERIFY(m_sim.waitForCalls(QStringLiteral("QuickConnect")));
    }

private:
    GprsSimControl m_sim;
};

QTEST_GUILESS_MAIN(TestMmsDemoService)
#include "tst_mmsdemo_service.moc"
