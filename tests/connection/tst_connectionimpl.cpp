// MmsConnectionImpl against the simulated GPRS service, with fake ifconfig and
// route that record their arguments and exit as scripted. Runs only inside
// the private namespace of tests/launchers/in-netns --fake-net-tools.
#include <QMetaMethod>
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

const QString Target = QStringLiteral("192.168.77.1");
const QString DefaultRouteWarning
    = QStringLiteral("[CONN] No target address specified. Default route is added");

QStringList ownMethods(const QMetaObject *mo)
{
    QStringList out;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        const char *kind = m.methodType() == QMetaMethod::Signal ? "signal" : "slot";
        const char *access = m.access() == QMetaMethod::Private ? "private" : "public";
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(QLatin1String(access), QLatin1String(kind), QString::fromLatin1(m.methodSignature()),
                       QString::fromLatin1(m.parameterNames().join(',')))
                   .trimmed();
    }
    return out;
}

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
        QuelmGprs gprs;
        QStringList out;
        const GprsContextList list = gprs.getStatus();
        for (auto it = list.cbegin(); it != list.cend(); ++it)
            out << it.key().path();
        return out;
    }

    // Opens with both commands succeeding; the test's own expectations start
    // from a clean record afterwards.
    bool openOk(MmsConnectionImpl &c)
    {
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        if (!c.openConnection(QStringLiteral("mms"), QString(), QString()) || !established.wait(10000))
            return false;
        const bool ok = established.count() == 1 && established.at(0).at(0).toInt() == 0;
        m_tools.clear();
        m_callsSeen = m_sim.calls().size();
        return ok;
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

    void metaObject()
    {
        const QMetaObject *mo = &MmsConnectionImpl::staticMetaObject;
        QCOMPARE(mo->className(), "MmsConnectionImpl");
        QCOMPARE(mo->superClass(), &MmsConnection::staticMetaObject);
        QCOMPARE(mo->propertyCount(), MmsConnection::staticMetaObject.propertyCount());
        QCOMPARE(ownMethods(mo),
            QStringList({ "public signal connectionEstablished(int) error",
                "private slot connectionCallback(QDBusObjectPath) connectionContext",
                "private slot connectionError(QDBusError) error", "private slot gprsAttached(QString) status",
                "private slot gprsAttachFailed(uint,QString) code,reason", "private slot gprsAvailable()",
                "private slot gprsDetached()", "private slot gprsSuspended(uint,QString) code,reason" }));
        MmsConnectionImpl c;
        QVERIFY(c.parent() == nullptr);
        QVERIFY(qobject_cast<MmsConnectionImpl *>(static_cast<QObject *>(&c)));
        // Connecting by signature binds to this class's own signal: that is
        // the one every outcome goes to.
        QSignalSpy bySignature(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy bySlotPointer(&c, &MmsConnectionImpl::connectionEstablished);
        QVERIFY(m_sim.failNext(
            QStringLiteral("QuickConnect"), QStringLiteral("org.freedesktop.DBus.Error.Failed")));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(bySignature.wait(10000));
        QCOMPARE(bySlotPointer.count(), 1);
    }

    void openAndClose_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("debug");
        QTest::newRow("default route, quiet") << QString() << false;
        QTest::newRow("default route, debug") << QString() << true;
        QTest::newRow("host route, quiet") << Target << false;
        QTest::newRow("host route, debug") << Target << true;
    }

    void openAndClose()
    {
        QFETCH(QString, target);
        QFETCH(bool, debug);
        DebugFlag flag(debug);
        LogCapture log;

        MmsConnectionImpl c;
        c.setTarget(target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.openConnection(
            QStringLiteral("mms.example"), QStringLiteral("alice"), QStringLiteral("s3cret")));
        QCOMPARE(m_tools.calls(), QStringList()); // nothing before the answer
        QVERIFY(established.wait(10000));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::up(), FakeTools::route(target) }));
        QCOMPARE(serviceCalls(QStringLiteral("QuickConnect")),
            QStringList({ "/com/orvel/quelm/gprs mms.example,IP,alice,s3cret" }));
        QCOMPARE(c.ipAddress(), QStringLiteral("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.1.1.1"));
        QCOMPARE(c.secondaryDNS(), QStringLiteral("10.1.1.2"));
        QCOMPARE(c.interfaceName(), QStringLiteral("gprs0"));
        const QStringList open = contexts();
        QCOMPARE(open.size(), 1);
        const QString path = open.first();

        m_tools.clear();
        QVERIFY(c.closeConnection());
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QCOMPARE(serviceCalls(QStringLiteral("Delete")), QStringList({ path + QLatin1Char(' ') }));
        QCOMPARE(contexts(), QStringList());
        QCOMPARE(gone.count(), 0);
        QCOMPARE(c.interfaceName(), QStringLiteral("gprs0")); // kept after the close

        m_tools.clear();
        QVERIFY(c.closeConnection());
        QCOMPARE(gone.count(), 1);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(established.count(), 1);

        // The warning does not depend on the debug switch; nothing else is
        // written without it.
        QCOMPARE(
            log.lines(QtWarningMsg), target.isEmpty() ? QStringList({ DefaultRouteWarning }) : QStringList());
        if (!debug) {
            QCOMPARE(log.lines(QtDebugMsg), QStringList());
            return;
        }
        const QString route = target.isEmpty() ? QStringLiteral("/sbin/route add default dev gprs0")
                                               : QStringLiteral("/sbin/route add %1 dev gprs0").arg(target);
        QCOMPARE(log.lines(QtDebugMsg),
            QStringList({
                "D: [LIBTARNEX] Open new GPRS connection: apn: \"mms.example\"  user: \"alice\"  pass: "
                "\"********\"",
                "D: Configuring iface:  \"/sbin/ifconfig gprs0 10.1.2.3 up\"",
                "D: Adding route:  \"" + route + "\"",
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

        std::unique_ptr<MmsConnectionImpl> c(new MmsConnectionImpl);
        c->setTarget(Target);
        if (open)
            QVERIFY(openOk(*c));
        QSignalSpy establishedSpy(c.get(), SIGNAL(connectionEstablished(int)));
        QSignalSpy disconnectedSpy(c.get(), SIGNAL(disconnected()));

        if (event == QLatin1String("answer ok") || event == QLatin1String("command fails")
            || event == QLatin1String("error answer")) {
            if (event == QLatin1String("command fails"))
                m_tools.script(QStringLiteral("route"), { QStringLiteral("7") });
            if (event == QLatin1String("error answer"))
                QVERIFY(m_sim.failNext(QStringLiteral("QuickConnect"),
                    QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")));
            QVERIFY(c->openConnection(QStringLiteral("mms"), QString(), QString()));
            QVERIFY(establishedSpy.wait(10000));
        } else if (event == QLatin1String("close")) {
            QVERIFY(c->closeConnection());
        } else if (event == QLatin1String("detach")) {
            QVERIFY(m_sim.emitDetached());
            QVERIFY(disconnectedSpy.wait(10000));
        } else if (event == QLatin1String("reports")) {
            QVERIFY(m_sim.emitAttached(QStringLiteral("attached")));
            QVERIFY(m_sim.emitAttachFailed(3, QStringLiteral("no coverage")));
            QVERIFY(m_sim.emitAvailable());
            // The last report reaching a watcher of its own marks when all
            // four have been delivered.
            QuelmGprs watcher;
            QSignalSpy suspended(&watcher, SIGNAL(Suspended(uint, QString)));
            QVERIFY(m_sim.emitSuspended(4, QStringLiteral("voice call")));
            QVERIFY(suspended.wait(10000));
        } else if (event == QLatin1String("destroy")) {
            c.reset();
            QCOMPARE(m_tools.calls(), open ? QStringList({ FakeTools::down() }) : QStringList());
            QCOMPARE(serviceCalls(QStringLiteral("Delete")).size(), open ? 1 : 0);
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
        QCOMPARE(contexts().size(), open && event == QLatin1String("answer ok") ? 1 : 0);
    }

    void serviceReportLines()
    {
        DebugFlag flag(true);
        MmsConnectionImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        LogCapture log;
        QVERIFY(m_sim.emitAttached(QStringLiteral("attached")));
        QVERIFY(m_sim.emitAttachFailed(3, QStringLiteral("no coverage")));
        QVERIFY(m_sim.emitAvailable());
        QVERIFY(m_sim.emitSuspended(0, QString()));
        QVERIFY(m_sim.emitDetached());
        QVERIFY(gone.wait(10000));
        QCOMPARE(log.lines(),
            QStringList({ "D: [CONN] GPRS is attached ( \"attached\" )",
                "D: [CONN] GPRS attach failed (code= 3 ,  \"no coverage\" )",
                "D: [CONN] GPRS became available", "D: [CONN] GPRS is suspended (code= 0 ,  \"\" )",
                "D: [CONN] GPRS is detached" }));
        QCOMPARE(gone.count(), 1);
        QCOMPARE(established.count(), 0);
        QCOMPARE(m_tools.calls(), QStringList());
    }

    // A failed command fails the open, the other command still runs, and the
    // attempt takes back what it did before it reports.
    void failingCommands_data()
    {
        QTest::addColumn<QString>("ifconfig");
        QTest::addColumn<QString>("route");
        QTest::addColumn<QStringList>("calls");
        const QString up = FakeTools::up(), route = FakeTools::route(Target), down = FakeTools::down();
        QTest::newRow("interface fails") << "1"
                                         << "0" << QStringList({ up, route });
        QTest::newRow("route fails") << "0"
                                     << "7" << QStringList({ up, route, down });
        QTest::newRow("both fail") << "255"
                                   << "1" << QStringList({ up, route });
        QTest::newRow("interface crashes") << "crash"
                                           << "0" << QStringList({ up, route });
        QTest::newRow("route crashes") << "0"
                                       << "crash" << QStringList({ up, route, down });
    }

    void failingCommands()
    {
        QFETCH(QString, ifconfig);
        QFETCH(QString, route);
        QFETCH(QStringList, calls);
        m_tools.script(QStringLiteral("ifconfig"), { ifconfig });
        m_tools.script(QStringLiteral("route"), { route });
        MmsConnectionImpl c;
        c.setTarget(Target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(10000));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(m_tools.calls(), calls);
        QCOMPARE(serviceCalls(QStringLiteral("Delete")).size(), 1);
        QCOMPARE(contexts(), QStringList());
        // Still closed: a close runs nothing.
        m_tools.clear();
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.closeConnection());
        QCOMPARE(gone.count(), 1);
        QCOMPARE(m_tools.calls(), QStringList());
    }

    // A program that cannot be started configured nothing.
    void commandCannotStart()
    {
        QTemporaryFile notExecutable;
        QVERIFY(notExecutable.open());
        QCOMPARE(QProcess::execute(QStringLiteral("mount"),
                     { QStringLiteral("--bind"), notExecutable.fileName(), QStringLiteral("/sbin/route") }),
            0);
        MmsConnectionImpl c;
        c.setTarget(Target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        const bool answered = established.wait(10000);
        QCOMPARE(QProcess::execute(QStringLiteral("umount"), { QStringLiteral("/sbin/route") }), 0);
        QVERIFY(answered);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::up(), FakeTools::down() }));
        QCOMPARE(contexts(), QStringList());
    }

    // A program still running at the 30 s limit is stopped and counts as
    // failed (QProcess would still report exit code 0 for it); the next
    // command still runs.
    void commandHangs()
    {
        m_tools.script(QStringLiteral("ifconfig"), { QStringLiteral("hang") });
        MmsConnectionImpl c;
        c.setTarget(Target);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(90000));
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::up(), FakeTools::route(Target) }));
        QCOMPARE(contexts(), QStringList());
    }

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
            QVERIFY(m_sim.failNext(QStringLiteral("QuickConnect"), errorName, QStringLiteral("scripted")));
        MmsConnectionImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(10000));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), type);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(c.interfaceName(), QString());
        const QStringList lines = log.matching(QStringLiteral("D: [LIBTARNEX] Open GPRS connection error:"));
        QCOMPARE(lines.size(), 1);
        if (!errorName.isEmpty())
            QCOMPARE(lines.first(),
                QStringLiteral("D: [LIBTARNEX] Open GPRS connection error: QDBusError(\"%1\", "
                               "\"scripted\")")
                    .arg(errorName));
        QVERIFY(m_sim.setServicePresent(true));
    }

    // A property the context lacks keeps the field's previous value.
    void missingProperty()
    {
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        QVERIFY(c.closeConnection());
        QVERIFY(m_sim.setContextProperty(QStringLiteral("PDNSAddress"), QStringLiteral("10.7.7.7")));
        QVERIFY(m_sim.setContextProperty(QStringLiteral("SDNSAddress"), QStringLiteral("10.7.7.8")));
        QVERIFY(m_sim.omitProperty(QStringLiteral("PDNSAddress")));
        QVERIFY(openOk(c));
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.1.1.1"));
        QCOMPARE(c.secondaryDNS(), QStringLiteral("10.7.7.8"));
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
        const QString ifaceWarning
            = QStringLiteral("[CONN] Invalid interface name, connection not set up: \"%1\"");
        const QString ipWarning = QStringLiteral("[CONN] Invalid IP address, connection not set up: \"%1\"");
        const QString targetWarning
            = QStringLiteral("[CONN] Invalid target address, connection not set up: \"%1\"");
        for (const char *name :
            { "", "gprs0 up", "../x", "gprs0:1", ".", "-a", "interfacename016", "gprs\t0" })
            QTest::addRow("interface '%s'", name) << "NetIF" << name << QString() << ifaceWarning.arg(name);
        for (const char *address :
            { "", "10.1", "010.1.2.3", "10.1.2.3 up", "10.1.2.3/8", "fe80::1%gprs0", "host" })
            QTest::addRow("address '%s'", address)
                << "PDPAddress" << address << QString() << ipWarning.arg(address);
        for (const char *target : { "10.9.9.9 dev lo", "mmsc.example", "-net", "10.9.9" })
            QTest::addRow("target '%s'", target)
                << QString() << QString() << target << targetWarning.arg(target);
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
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(10000));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(log.lines(QtWarningMsg),
            QStringList({ warning.replace(QLatin1Char('\t'), QLatin1String("\\t")) }));
        QCOMPARE(contexts(), QStringList());
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.closeConnection());
        QCOMPARE(gone.count(), 1);
    }

    // The object is open by the time it says so: a client may close it
    // straight from its slot.
    void closeFromEstablishedSlot()
    {
        MmsConnectionImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        bool closed = false;
        connect(&c, &MmsConnectionImpl::connectionEstablished, this, [&]() { closed = c.closeConnection(); });
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(10000));
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
        QVERIFY(c.openConnection(QStringLiteral("first"), QString(), QString()));
        QVERIFY(c.openConnection(QStringLiteral("second"), QString(), QString()));
        QTRY_COMPARE_WITH_TIMEOUT(established.count(), 2, 10000);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(established.at(1).at(0).toInt(), 0);
        QCOMPARE(serviceCalls(QStringLiteral("QuickConnect")).size(), 2);
        QCOMPARE(m_tools.calls(),
            QStringList(
                { FakeTools::up(), FakeTools::route(Target), FakeTools::up(), FakeTools::route(Target) }));
        // The context of the answer handled last is the one closed.
        const QStringList both = contexts();
        QCOMPARE(both.size(), 2);
        m_callsSeen = m_sim.calls().size();
        QVERIFY(c.closeConnection());
        const QStringList deleted = serviceCalls(QStringLiteral("Delete"));
        QCOMPARE(deleted.size(), 1);
        const QStringList left = contexts();
        QCOMPARE(left.size(), 1);
        QVERIFY(deleted.first().trimmed() != left.first());
    }

    // A failed re-open on an open object must not tear down the open
    // connection when the service hands back the same interface.
    void failedReopenKeepsOpenConnection()
    {
        MmsConnectionImpl c;
        c.setTarget(Target);
        QVERIFY(openOk(c));
        m_tools.script(QStringLiteral("route"), { QStringLiteral("7") });
        QVERIFY(m_sim.setContextProperty(QStringLiteral("PDNSAddress"), QStringLiteral("10.7.7.7")));
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection(QStringLiteral("mms"), QString(), QString()));
        QVERIFY(established.wait(10000));
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::up(), FakeTools::route(Target) }));
        QCOMPARE(contexts().size(), 1); // the new context went, the open one stays
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.1.1.1"));
        m_tools.clear();
        QVERIFY(c.closeConnection());
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QCOMPARE(contexts(), QStringList());
    }

    void deleteError()
    {
        DebugFlag flag(true);
        MmsConnectionImpl c;
        QVERIFY(openOk(c));
        QVERIFY(m_sim.failNext(QStringLiteral("Delete"), QStringLiteral("com.orvel.quelm.GPRS.Error.Busy")));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        LogCapture log;
        QVERIFY(!c.closeConnection());
        QCOMPARE(gone.count(), 0);
        QCOMPARE(m_tools.calls(), QStringList({ FakeTools::down() }));
        QCOMPARE(log.matching(QStringLiteral("Delete returned:")),
            QStringList({ "D: [LIBTARNEX] Closing GPRS connection, com.orvel.quelm.GPRS.Context.Delete "
                          "returned: \"com.orvel.quelm.GPRS.Error.Busy\"" }));
        m_tools.clear();
        m_callsSeen = m_sim.calls().size();
        QVERIFY(c.closeConnection());
        QCOMPARE(gone.count(), 1);
        QCOMPARE(m_tools.calls(), QStringList());
        QCOMPARE(serviceCalls(QStringLiteral("Delete")), QStringList());
    }

    void passwordNeverLogged_data()
    {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QString>("shown");
        QTest::newRow("set") << "s3cret-Pw"
                             << "\"********\"";
        QTest::newRow("empty") << ""
                               << "\"\"";
    }

    void passwordNeverLogged()
    {
        QFETCH(QString, pass);
        QFETCH(QString, shown);
        DebugFlag flag(true);
        LogCapture log;
        {
            MmsConnectionImpl c;
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            QVERIFY(c.openConnection(QStringLiteral("mms"), QStringLiteral("bob"), pass));
            QVERIFY(established.wait(10000));
            QVERIFY(m_sim.failNext(
                QStringLiteral("QuickConnect"), QStringLiteral("org.freedesktop.DBus.Error.Failed")));
            QVERIFY(c.openConnection(QStringLiteral("mms"), QStringLiteral("bob"), pass));
            QVERIFY(established.wait(10000));
        } // destruction closes
        const QString line
            = "D: [LIBTARNEX] Open new GPRS connection: apn: \"mms\"  user: \"bob\"  pass: " + shown;
        QCOMPARE(log.matching(QStringLiteral("Open new GPRS connection")), QStringList({ line, line }));
        if (!pass.isEmpty())
            QCOMPARE(log.matching(pass), QStringList());
        // The service itself still gets it.
        QCOMPARE(
            serviceCalls(QStringLiteral("QuickConnect")).first(), "/com/orvel/quelm/gprs mms,IP,bob," + pass);
    }
};

QTEST_GUILESS_MAIN(TestConnectionImpl)
#include "tst_connectionimpl.moc"
