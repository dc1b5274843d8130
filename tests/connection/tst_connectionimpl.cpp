// MmsConnectionImpl against the simulated GPRS service, with fake ifconfig and
// route that record their arguments and exit as scripted. Runs only inside
// the private namespace of tests/launchers/in-netns --fake-net-tools.
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "faketools.h"
#include "gprssimcontrol.h"
#include "logcapture.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "quelmgprs.h"

namespace {
const QString Target = "192.168.77.1";
} // namespace

class TestConnectionImpl : public QObject
{
    Q_OBJECT

private:
    GprsSimControl m_sim;
    FakeTools m_tools;
    int m_callsSeen = 0; // service calls a test has already looked at

    QStringList serviceCalls(const QString &member)
    {
        QStringList out;
        for (const GprsSimControl::Call &call : m_sim.calls().mid(m_callsSeen))
            if (call.member == member)
                out << call.path + QLatin1Char(' ') + call.args.join(QLatin1Char(','));
        return out;
    }

    QStringList contexts()
    {
        QStringList out;
        const GprsContextList list = QuelmGprs().getStatus();
        for (auto it = list.cbegin(); it != list.cend(); ++it)
            out << it.key().path();
        return out;
    }

    // Opens and waits for the answer: its code, or -1 without exactly one.
    static int open(MmsConnectionImpl &c, int timeout = 10000)
    {
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        if (!c.openConnection("mms", QString(), QString()) || !established.wait(timeout))
            return -1;
        return established.count() == 1 ? established.at(0).at(0).toInt() : -1;
    }

    // A successful open; the test's own expectations start from a clean record.
    bool openOk(MmsConnectionImpl &c)
    {
        const bool ok = open(c) == 0;
        m_tools.clear();
        m_callsSeen = m_sim.calls().size();
        return ok;
    }

    // A closed object's close runs nothing and says disconnected().
    bool closesAsClosed(MmsConnectionImpl &c)
    {
        m_tools.clear();
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        return c.closeConnection() && gone.count() == 1 && m_tools.calls().isEmpty();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!insideTestNetns(&why))
            QFAIL(qPrintable(why));
        QVERIFY(m_tools.isValid());
        QVERIFY2(m_sim.reset(), "gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
    }

    void init()
    {
        QVERIFY(m_sim.reset());
        m_callsSeen = 0;
        m_tools.clear();
    }

    // Commands for an empty and a set target, the default-route warning even
    // without the debug switch, every debug line, and the password masked.
    void openAndClose_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<QString>("pass");
        QTest::newRow("default route, quiet") << QString() << false << "s3cret";
        QTest::newRow("default route, debug") << QString() << true << "s3cret";
        QTest::newRow("host route, quiet") << Target << false << "";
        QTest::newRow("host route, debug") << Target << true << "";
    }

    void openAndClose()
    {
        QFETCH(QString, target);
        QFETCH(bool, debug);
        QFETCH(QString, pass);
        DebugFlag flag(debug);
        LogCapture log;

        MmsConnectionImpl c;
        c.setTarget(target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.openConnection("mms.example", "alice", pass));
        QCOMPARE(m_tools.calls(), QStringList()); // nothing before the answer
        QVERIFY(established.wait(10000));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::up(), FakeTools::route(target) }));
        QCOMPARE(serviceCalls("QuickConnect"),
            QStringList({ "/com/orvel/quelm/gprs mms.example,IP,alice," + pass }));
        QCOMPARE(c.ipAddress(), QString("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QString("10.1.1.1"));
        QCOMPARE(c.secondaryDNS(), QString("10.1.1.2"));
        QCOMPARE(c.interfaceName(), QString("gprs0"));
        const QStringList open = contexts();
        QCOMPARE(open.size(), 1);
        const QString path = open.first();

        m_tools.clear();
        QVERIFY(c.closeConnection());
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QCOMPARE(serviceCalls("Delete"), QStringList({ path + QLatin1Char(' ') }));
        QCOMPARE(contexts(), QStringList());
        QCOMPARE(gone.count(), 0);
        QCOMPARE(c.interfaceName(), QString("gprs0")); // kept after the close
        QVERIFY(closesAsClosed(c));
        QCOMPARE(established.count(), 1);

        if (!pass.isEmpty())
            QCOMPARE(log.matching(pass), QStringList());
        QCOMPARE(log.lines(QtWarningMsg),
            target.isEmpty() ? QStringList({ "[CONN] No target address specified. Default route is added" })
                             : QStringList());
        if (!debug) {
            QCOMPARE(log.lines(QtDebugMsg), QStringList());
            return;
        }
        QCOMPARE(log.lines(QtDebugMsg),
            QStringList({
                "D: [LIBTARNEX] Open new GPRS connection: apn: \"mms.example\"  user: \"alice\"  pass: "
                    + QString(pass.isEmpty() ? "\"\"" : "\"********\""),
                "D: Configuring iface:  \"/sbin/ifconfig gprs0 10.1.2.3 up\"",
                "D: Adding route:  \"/sbin/route add " + (target.isEmpty() ? QString("default") : target)
                    + " dev gprs0\"",
                "D: [LIBTARNEX] Close GPRS connection: \"gprs0\"  on  \"" + path + "\"",
                "D: [LIBTARNEX] Closing GPRS connection,  \"/sbin/ifconfig gprs0 down\"  returned: 0",
                "D: [LIBTARNEX] Closing GPRS connection, com.orvel.quelm.GPRS.Context.Delete returned: \"\"",
            }));
    }

    // Rows of the two-state table: state before, event, what is signalled and
    // the state after (probed with a close: an open object takes the
    // interface down silently, a closed one only says disconnected()).
    void stateTable_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("established"); // -1: not emitted
        QTest::addColumn<int>("disconnected");
        QTest::addColumn<bool>("openAfter");
        const int denied = QDBusError::AccessDenied;
        for (bool open : { false, true }) {
            const char *state = open ? "open" : "closed";
            QTest::addRow("%s, answer ok", state) << open << "answer ok" << 0 << 0 << true;
            QTest::addRow("%s, command fails", state) << open << "command fails" << 1 << 0 << open;
            QTest::addRow("%s, error answer", state) << open << "error answer" << denied << 0 << open;
            QTest::addRow("%s, close", state) << open << "close" << -1 << (open ? 0 : 1) << false;
            QTest::addRow("%s, detach", state) << open << "detach" << -1 << 1 << open;
            QTest::addRow("%s, service reports", state) << open << "reports" << -1 << 0 << open;
            QTest::addRow("%s, destruction", state) << open << "destroy" << -1 << 0 << false;
        }
    }

    void stateTable()
    {
        QFETCH(bool, open);
        QFETCH(QString, event);
        QFETCH(int, established);
        QFETCH(int, disconnected);
        QFETCH(bool, openAfter);

        DebugFlag flag(true);
        std::unique_ptr<MmsConnectionImpl> c(new MmsConnectionImpl);
        c->setTarget(Target);
        if (open)
            QVERIFY(openOk(*c));
        QSignalSpy establishedSpy(c.get(), SIGNAL(connectionEstablished(int)));
        QSignalSpy disconnectedSpy(c.get(), SIGNAL(disconnected()));
        LogCapture log;

        if (event == "answer ok" || event == "command fails" || event == "error answer") {
            if (event == "command fails")
                m_tools.script("route", { "7" });
            if (event == "error answer")
                QVERIFY(m_sim.failNext("QuickConnect", "org.freedesktop.DBus.Error.AccessDenied"));
            QVERIFY(c->openConnection("mms", QString(), QString()));
            QVERIFY(establishedSpy.wait(10000));
            // A failed re-open rolls back its own attempt, not the open
            // connection on the same interface.
            if (event == "command fails")
                QCOMPARE(m_tools.calls().contains(FakeTools::down()), !open);
        } else if (event == "close") {
            QVERIFY(c->closeConnection());
        } else if (event == "detach") {
            QVERIFY(m_sim.emitDetached());
            QVERIFY(disconnectedSpy.wait(10000));
            QCOMPARE(log.lines(), QStringList({ "D: [CONN] GPRS is detached" }));
        } else if (event == "reports") {
            QVERIFY(m_sim.emitAttached("attached"));
            QVERIFY(m_sim.emitAttachFailed(3, "no coverage"));
            QVERIFY(m_sim.emitAvailable());
            QVERIFY(m_sim.emitSuspended(0, QString()));
            QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 4, 10000);
            QCOMPARE(log.lines(),
                QStringList({ "D: [CONN] GPRS is attached ( \"attached\" )",
                    "D: [CONN] GPRS attach failed (code= 3 ,  \"no coverage\" )",
                    "D: [CONN] GPRS became available", "D: [CONN] GPRS is suspended (code= 0 ,  \"\" )" }));
        } else if (event == "destroy") {
            c.reset();
            QCOMPARE(m_tools.calls(), open ? QStringList({ FakeTools::down() }) : QStringList());
            QCOMPARE(serviceCalls("Delete").size(), open ? 1 : 0);
            QCOMPARE(contexts(), QStringList());
            return;
        }

        QCOMPARE(establishedSpy.count(), established < 0 ? 0 : 1);
        if (established >= 0)
            QCOMPARE(establishedSpy.at(0).at(0).toInt(), established);
        QCOMPARE(disconnectedSpy.count(), disconnected);

        m_tools.clear();
        disconnectedSpy.clear();
        QVERIFY(c->closeConnection());
        QCOMPARE(m_tools.calls(), openAfter ? QStringList({ FakeTools::down() }) : QStringList());
        QCOMPARE(disconnectedSpy.count(), openAfter ? 0 : 1);
        // No context is left behind on the service, except the one a second
        // successful open replaced without deleting it.
        QCOMPARE(contexts().size(), open && event == "answer ok" ? 1 : 0);
    }

    // A failed command fails the open, the other command still runs, and the
    // attempt takes back what it did before it reports. A crash, a program
    // that cannot start, or one still running at the 30 s limit (stopped)
    // counts as failed: QProcess reports exit code 0 for all three.
    void failingCommands_data()
    {
        QTest::addColumn<QString>("script"); // what ifconfig, then route, does
        QTest::addColumn<QStringList>("calls");
        const QString up = FakeTools::up(), route = FakeTools::route(Target), down = FakeTools::down();
        QTest::newRow("interface fails") << "1 0" << QStringList({ up, route });
        QTest::newRow("route fails") << "0 7" << QStringList({ up, route, down });
        QTest::newRow("route crashes") << "0 crash" << QStringList({ up, route, down });
        QTest::newRow("route cannot start") << "0 noexec" << QStringList({ up, down });
        QTest::newRow("interface hangs") << "hang 0" << QStringList({ up, route });
    }

    void failingCommands()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, calls);
        m_tools.script("ifconfig", { script.section(' ', 0, 0) });
        m_tools.script("route", { script.section(' ', 1) });
        QTemporaryFile notExecutable;
        const bool noExec = script.endsWith("noexec");
        if (noExec) {
            QVERIFY(notExecutable.open());
            QCOMPARE(QProcess::execute("mount", { "--bind", notExecutable.fileName(), "/sbin/route" }), 0);
        }
        MmsConnectionImpl c;
        c.setTarget(Target);
        const int result = open(c, 90000); // the 30 s limit is the library's own
        if (noExec)
            QCOMPARE(QProcess::execute("umount", { "/sbin/route" }), 0);
        QCOMPARE(result, 1);
        QCOMPARE(m_tools.calls(), calls);
        QCOMPARE(serviceCalls("Delete").size(), 1);
        QCOMPARE(contexts(), QStringList());
        QVERIFY(closesAsClosed(c));
    }

    // An error answer is passed on with its type; no command runs. The
    // object's own signal is the one every outcome goes to.
    void quickConnectError_data()
    {
        QTest::addColumn<QString>("errorName");
        QTest::addColumn<int>("type");
        QTest::newRow("access denied")
            << "org.freedesktop.DBus.Error.AccessDenied" << int(QDBusError::AccessDenied);
        QTest::newRow("service's own error")
            << "com.orvel.quelm.GPRS.Error.NotAttached" << int(QDBusError::Other);
        QTest::newRow("service absent") << QString() << int(QDBusError::ServiceUnknown);
    }

    void quickConnectError()
    {
        QFETCH(QString, errorName);
        QFETCH(int, type);
        DebugFlag flag(true);
        LogCapture log;
        if (errorName.isEmpty())
            QVERIFY(m_sim.setServicePresent(false));
        else
            QVERIFY(m_sim.failNext("QuickConnect", errorName, "scripted"));
        MmsConnectionImpl c;
        QSignalSpy byPointer(&c, &MmsConnectionImpl::connectionEstablished);
        QCOMPARE(open(c), type);
        QCOMPARE(byPointer.count(), 1);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(c.interfaceName(), QString());
        const QStringList lines = log.matching("D: [LIBTARNEX] Open GPRS connection error:");
        QCOMPARE(lines.size(), 1);
        if (!errorName.isEmpty())
            QCOMPARE(lines.first(),
                QString("D: [LIBTARNEX] Open GPRS connection error: QDBusError(\"%1\", \"scripted\")")
                    .arg(errorName));
        QVERIFY(m_sim.setServicePresent(true));
    }

    // A property the context lacks keeps the field's previous value.
    void missingProperty()
    {
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        QVERIFY(c.closeConnection());
        QVERIFY(m_sim.setContextProperty("PDNSAddress", "10.7.7.7"));
        QVERIFY(m_sim.setContextProperty("SDNSAddress", "10.7.7.8"));
        QVERIFY(m_sim.omitProperty("PDNSAddress"));
        QVERIFY(openOk(c));
        QCOMPARE(c.primaryDNS(), QString("10.1.1.1"));
        QCOMPARE(c.secondaryDNS(), QString("10.7.7.8"));
        QVERIFY(c.closeConnection());
    }

    // Values the commands would not take safely are refused before any
    // command runs; the context the service made is deleted again.
    void refusedValues_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("warning");
        const QString warning = "[CONN] Invalid %1, connection not set up: \"%2\"";
        for (const char *name :
            { "", "gprs0 up", "../x", "gprs0:1", ".", "-a", "interfacename016", "gprs\t0" })
            QTest::addRow("interface '%s'", name)
                << "NetIF" << name << QString()
                << warning.arg("interface name", QString(name).replace("\t", "\\t"));
        for (const char *address :
            { "", "10.1", "010.1.2.3", "10.1.2.3 up", "10.1.2.3/8", "fe80::1%gprs0", "host" })
            QTest::addRow("address '%s'", address)
                << "PDPAddress" << address << QString() << warning.arg("IP address", address);
        for (const char *target : { "10.9.9.9 dev lo", "mmsc.example", "-net", "10.9.9" })
            QTest::addRow("target '%s'", target)
                << QString() << QString() << target << warning.arg("target address", target);
    }

    void refusedValues()
    {
        QFETCH(QString, property);
        QFETCH(QString, value);
        QFETCH(QString, target);
        QFETCH(QString, warning);
        if (!property.isEmpty())
            QVERIFY(m_sim.setContextProperty(property, value));
        LogCapture log;
        MmsConnectionImpl c;
        c.setTarget(target);
        QCOMPARE(open(c), 1);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(log.lines(QtWarningMsg), QStringList({ warning }));
        QCOMPARE(contexts(), QStringList());
        QVERIFY(closesAsClosed(c));
    }

    // The object is open by the time it says so: a client may close it
    // straight from its slot.
    void closeFromEstablishedSlot()
    {
        MmsConnectionImpl c;
        bool closed = false;
        connect(&c, &MmsConnectionImpl::connectionEstablished, this, [&]() { closed = c.closeConnection(); });
        QCOMPARE(open(c), 0);
        QVERIFY(closed);
        QCOMPARE(m_tools.calls(),
            QStringList({ FakeTools::up(), FakeTools::route(QString()), FakeTools::down() }));
        QCOMPARE(contexts(), QStringList());
    }

    void twoOpensInARow()
    {
        MmsConnectionImpl c;
        c.setTarget(Target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection("first", QString(), QString()));
        QVERIFY(c.openConnection("second", QString(), QString()));
        QTRY_COMPARE_WITH_TIMEOUT(established.count(), 2, 10000);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(established.at(1).at(0).toInt(), 0);
        QCOMPARE(serviceCalls("QuickConnect").size(), 2);
        QCOMPARE(m_tools.calls(),
            QStringList(
                { FakeTools::up(), FakeTools::route(Target), FakeTools::up(), FakeTools::route(Target) }));
        // The context of the answer handled last is the one closed.
        QCOMPARE(contexts().size(), 2);
        m_callsSeen = m_sim.calls().size();
        QVERIFY(c.closeConnection());
        const QStringList deleted = serviceCalls("Delete"), left = contexts();
        QCOMPARE(deleted.size(), 1);
        QCOMPARE(left.size(), 1);
        QVERIFY(deleted.first().trimmed() != left.first());
    }

    void deleteError()
    {
        DebugFlag flag(true);
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        QVERIFY(m_sim.failNext("Delete", "com.orvel.quelm.GPRS.Error.Busy"));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        LogCapture log;
        QVERIFY(!c.closeConnection());
        QCOMPARE(gone.count(), 0);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QCOMPARE(log.matching("Delete returned:"),
            QStringList({ "D: [LIBTARNEX] Closing GPRS connection, com.orvel.quelm.GPRS.Context.Delete "
                          "returned: \"com.orvel.quelm.GPRS.Error.Busy\"" }));
        m_callsSeen = m_sim.calls().size();
        QVERIFY(closesAsClosed(c));
        QCOMPARE(serviceCalls("Delete"), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestConnectionImpl)
#include "tst_connectionimpl.moc"
