// The GPRS service client against real D-Bus: the context record's wire form
// (checked against a second connection that reads and writes the raw
// structure), the status wrapper and the proxy against gprs-sim.
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

#include "comorvelquelmgprs.h"
#include "gprscontext.h"
#include "gprssimcontrol.h"
#include "logcapture.h"
#include "quelmgprs.h"

namespace {
const qulonglong Max64 = std::numeric_limits<qulonglong>::max();

// Answers every call with the arguments it got, and keeps the call so that
// the test can read it as it came off the wire.
class EchoPeer : public QDBusVirtualObject
{
public:
    QDBusMessage last;
    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        last = message;
        connection.send(message.createReply(message.arguments()));
        return true;
    }
};

GprsContext makeContext(const QString &apn, const QString &proto, const QString &iface, const QString &addr,
    bool active, qulonglong rx, qulonglong tx)
{
    GprsContext c;
    c.apn = apn;
    c.proto = proto;
    c.iface = iface;
    c.addr = addr;
    c.active = active;
    c.rx = rx;
    c.tx = tx;
    return c;
}

QString debugText(const GprsContext &c)
{
    QString out;
    {
        QDebug debug(&out);
        debug << c;
    }
    return out.trimmed();
}

QStringList methodSignatures(const QMetaObject *mo)
{
    QStringList out;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        QStringList names;
        for (const QByteArray &n : m.parameterNames())
            names << QString::fromLatin1(n);
        out << QString::fromLatin1(m.methodSignature()) + QLatin1Char(':') + names.join(QLatin1Char(' '));
    }
    return out;
}
} // namespace

class TestGprs : public QObject
{
    Q_OBJECT

private:
    QDBusMessage echo(const QVariant &argument)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_peer_bus.baseService(), QStringLiteral("/echo"),
            QStringLiteral("org.tarnex.Test"), QStringLiteral("Echo"));
        call << argument;
        // The peer's object lives on this thread: keep its events flowing.
        return QDBusConnection::systemBus().call(call, QDBus::BlockWithGui);
    }

    QDBusConnection m_peer_bus = QDBusConnection(QString());
    EchoPeer m_peer;
    GprsSimControl *m_sim = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS"), "run under tests/launchers/with-bus");
        m_peer_bus = QDBusConnection::connectToBus(
            qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("echo-peer"));
        QVERIFY(m_peer_bus.isConnected());
        QVERIFY(m_peer_bus.registerVirtualObject(QStringLiteral("/echo"), &m_peer));
        m_sim = new GprsSimControl(this);
    }

    void init() { QVERIFY(m_sim->reset()); }

    // Must run first: nothing has made a record yet.
    void registrationIsIdempotent()
    {
        QCOMPARE(
            QDBusMetaType::typeToSignature(qMetaTypeId<GprsContext>()), static_cast<const char *>(nullptr));
        GprsContext first;
        Q_UNUSED(first)
        const int contextId = qMetaTypeId<GprsContext>();
        const int listId = qMetaTypeId<GprsContextList>();
        for (int i = 0; i < 3; ++i)
            GprsContext::registerTypes();
        GprsContext second;
        QuelmGprs gprs;
        QCOMPARE(QMetaType::type("GprsContext"), contextId);
        QCOMPARE(QMetaType::type("GprsContextList"), listId);
        QCOMPARE(qMetaTypeId<GprsContext>(), contextId);
        QCOMPARE(QByteArray(QDBusMetaType::typeToSignature(contextId)), QByteArray("(ssssbtt)"));
        QCOMPARE(QByteArray(QDBusMetaType::typeToSignature(listId)), QByteArray("a{o(ssssbtt)}"));
        // A copy neither needs nor repeats registration, and copies all fields.
        second.apn = QStringLiteral("internet");
        second.rx = 7;
        GprsContext copy(second);
        QCOMPARE(copy.apn, second.apn);
        QCOMPARE(copy.rx, qulonglong(7));
    }

    void wireForm_data()
    {
        QTest::addColumn<GprsContext>("context");
        QTest::newRow("defaults") << GprsContext();
        QTest::newRow("connected") << makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20);
        QTest::newRow("64-bit counters")
            << makeContext("mms", "IP", "gprs1", "", false, Max64, (Max64 >> 1) + 2);
        QTest::newRow("non-ascii, blanks")
            << makeContext("mms.operaattori.fi ä", "IPV6", "", "fe80::1", true, 0, 1);
    }

    // What goes on the wire, field by field, read without GprsContext's own
    // reader; and what comes back reads into the same seven values.
    void wireForm()
    {
        QFETCH(GprsContext, context);
        const QDBusMessage reply = echo(QVariant::fromValue(context));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

        QCOMPARE(m_peer.last.signature(), QStringLiteral("(ssssbtt)"));
        const QDBusArgument raw = m_peer.last.arguments().at(0).value<QDBusArgument>();
        QString apn, proto, iface, addr;
        bool active = !context.active;
        qulonglong sixth = 1, seventh = 1;
        raw.beginStructure();
        raw >> apn >> proto >> iface >> addr >> active >> sixth >> seventh;
        raw.endStructure();
        QVERIFY(!apn.isNull() && !proto.isNull() && !iface.isNull() && !addr.isNull());
        QCOMPARE(apn, context.apn);
        QCOMPARE(proto, context.proto);
        QCOMPARE(iface, context.iface);
        QCOMPARE(addr, context.addr);
        QCOMPARE(active, context.active);
        QCOMPARE(sixth, context.rx);
        QCOMPARE(seventh, context.tx);

        const GprsContext back = qdbus_cast<GprsContext>(reply.arguments().at(0));
        QCOMPARE(back, context);
        QCOMPARE(back.rx, context.rx);
        QCOMPARE(back.tx, context.tx);
    }

    // A structure built by hand, as another service would send it.
    void readsForeignStructure()
    {
        QDBusArgument built;
        built.beginStructure();
        built << QStringLiteral("a") << QStringLiteral("b") << QStringLiteral("c") << QStringLiteral("d")
              << true << qulonglong(6) << qulonglong(Max64);
        built.endStructure();
        const QDBusMessage reply = echo(QVariant::fromValue(built));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const GprsContext c = qdbus_cast<GprsContext>(reply.arguments().at(0));
        QCOMPARE(c, makeContext("a", "b", "c", "d", true, 6, Max64));
    }

    void listWireForm()
    {
        const QDBusMessage empty = echo(QVariant::fromValue(GprsContextList()));
        QCOMPARE(m_peer.last.signature(), QStringLiteral("a{o(ssssbtt)}"));
        QVERIFY(qdbus_cast<GprsContextList>(empty.arguments().at(0)).isEmpty());

        GprsContextList two;
        two.insert(QDBusObjectPath("/ctx/1"), makeContext("internet", "IP", "gprs0", "10.0.0.1", true, 1, 2));
        two.insert(QDBusObjectPath("/ctx/2"), makeContext("mms", "IP", "gprs1", "10.0.0.2", false, 3, 4));
        const QDBusMessage reply = echo(QVariant::fromValue(two));
        QCOMPARE(m_peer.last.signature(), QStringLiteral("a{o(ssssbtt)}"));
        const GprsContextList back = qdbus_cast<GprsContextList>(reply.arguments().at(0));
        QCOMPARE(back.size(), 2);
        QCOMPARE(back, two);
    }

    void equality_data()
    {
        QTest::addColumn<GprsContext>("other");
        QTest::addColumn<bool>("equal");
        const GprsContext base = makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20);
        QTest::newRow("same") << base << true;
        GprsContext c = base;
        c.apn = "mms";
        QTest::newRow("apn") << c << false;
        c = base;
        c.proto = "IPV6";
        QTest::newRow("proto") << c << false;
        c = base;
        c.iface = "gprs1";
        QTest::newRow("iface") << c << false;
        c = base;
        c.addr = "10.1.2.4";
        QTest::newRow("addr") << c << false;
        c = base;
        c.active = false;
        QTest::newRow("active") << c << false;
        c = base;
        c.rx = 101;
        QTest::newRow("rx") << c << false;
        c = base;
        c.tx = 21;
        QTest::newRow("tx") << c << false;
    }

    void equality()
    {
        QFETCH(GprsContext, other);
        QFETCH(bool, equal);
        const GprsContext base = makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20);
        QCOMPARE(base == other, equal);
        QCOMPARE(base != other, !equal);
        QCOMPARE(other == base, equal);
    }

    void debugPrint_data()
    {
        QTest::addColumn<GprsContext>("context");
        QTest::addColumn<QString>("expected");
        QTest::newRow("connected") << makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100,
            20) << "\"apn:internet proto:IP iface:gprs0 addr:10.1.2.3 active:1 rx:100 tx:20\"";
        QTest::newRow("defaults") << GprsContext() << "\"apn: proto: iface: addr: active:0 rx:0 tx:0\"";
        QTest::newRow("full 64 bits")
            << makeContext("a", "b", "c", "d", false, Max64, qulonglong(1) << 63)
            << "\"apn:a proto:b iface:c addr:d active:0 rx:18446744073709551615 tx:9223372036854775808\"";
        // Values are put in once; a placeholder inside one stays as it is.
        QTest::newRow("placeholder in a value") << makeContext("%2%7", "%1", "x", "y", true, 5, 6)
                                                << "\"apn:%2%7 proto:%1 iface:x addr:y active:1 rx:5 tx:6\"";
    }

    void debugPrint()
    {
        QFETCH(GprsContext, context);
        QFETCH(QString, expected);
        QCOMPARE(debugText(context), expected);
    }

    void getStatus()
    {
        QuelmGprs gprs;
        QVERIFY(gprs.getStatus().isEmpty());

        const QDBusObjectPath p1 = m_sim->addContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20);
        const QDBusObjectPath p2 = m_sim->addContext("mms", "IP", "gprs1", "10.4.5.6", false, Max64, 0);
        QVERIFY(!p1.path().isEmpty() && !p2.path().isEmpty());
        const GprsContextList status = gprs.getStatus();
        QCOMPARE(status.size(), 2);
        QCOMPARE(status.value(p1), makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20));
        QCOMPARE(status.value(p2), makeContext("mms", "IP", "gprs1", "10.4.5.6", false, Max64, 0));

        // A slow answer is waited for, not taken for a failure.
        QVERIFY(m_sim->holdNext("GetStatus", 300));
        QCOMPARE(gprs.getStatus().size(), 2);
    }

    void getStatusFailure_data()
    {
        QTest::addColumn<bool>("present");
        QTest::newRow("error reply") << true;
        QTest::newRow("absent service") << false;
    }

    void getStatusFailure()
    {
        QFETCH(bool, present);
        QuelmGprs gprs;
        m_sim->addContext("internet", "IP", "gprs0", "10.1.2.3", true, 1, 2);
        if (present)
            QVERIFY(m_sim->failNext("GetStatus", "com.orvel.quelm.GPRS.Error.Failed"));
        else
            QVERIFY(m_sim->setServicePresent(false));
        DebugFlag debugOn(true);
        LogCapture log;
        QVERIFY(gprs.getStatus().isEmpty());
        QCOMPARE(log.lines(), QStringList());
        QCOMPARE(m_sim->calls("GetStatus").size(), present ? 1 : 0);
    }

    void signalsForwarded_data()
    {
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QVariantList>("args");
        QTest::newRow("AttachFailed")
            << QByteArray(SIGNAL(AttachFailed(uint, QString))) << QVariantList { 7u, "no network" };
        QTest::newRow("AttachFailed, code 0 and no reason")
            << QByteArray(SIGNAL(AttachFailed(uint, QString))) << QVariantList { 0u, "" };
        QTest::newRow("Attached") << QByteArray(SIGNAL(Attached(QString))) << QVariantList { "home network" };
        QTest::newRow("Available") << QByteArray(SIGNAL(Available())) << QVariantList {};
        QTest::newRow("DataCounters") << QByteArray(SIGNAL(DataCounters(qulonglong, qulonglong)))
                                      << QVariantList { Max64, qulonglong(1) };
        QTest::newRow("Detached") << QByteArray(SIGNAL(Detached())) << QVariantList {};
        QTest::newRow("Status") << QByteArray(SIGNAL(Status(GprsContextList))) << QVariantList {};
        QTest::newRow("Status, no contexts") << QByteArray(SIGNAL(Status(GprsContextList))) << QVariantList {};
        QTest::newRow("Suspended") << QByteArray(SIGNAL(Suspended(uint, QString)))
                                   << QVariantList { uint(0xffffffffu), "voice call" };
    }

    // Each service signal reaches the wrapper's signal of the same name, with
    // its arguments unchanged, and no other signal fires.
    void signalsForwarded()
    {
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, args);
        QuelmGprs gprs;
        const QByteArray name = signal.mid(1, signal.indexOf('(') - 1);

        GprsContextList expectedStatus;
        if (QByteArray(QTest::currentDataTag()) == "Status") {
            expectedStatus.insert(m_sim->addContext("internet", "IP", "gprs0", "10.1.2.3", true, 1, Max64),
                makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 1, Max64));
            expectedStatus.insert(m_sim->addContext("mms", "IP", "gprs1", "", false, 0, 0),
                makeContext("mms", "IP", "gprs1", "", false, 0, 0));
        }

        QList<QSignalSpy *> spies;
        QSignalSpy *spy = nullptr;
        const QMetaObject *mo = gprs.metaObject();
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            const QByteArray sig = "2" + mo->method(i).methodSignature();
            spies << new QSignalSpy(&gprs, sig.constData());
            if (QMetaObject::normalizedSignature(sig.constData()) == QMetaObject::normalizedSignature(signal))
                spy = spies.last();
        }
        QVERIFY(spy);

        bool sent = false;
        if (name == "AttachFailed")
            sent = m_sim->emitAttachFailed(args.at(0).toUInt(), args.at(1).toString());
        else if (name == "Attached")
            sent = m_sim->emitAttached(args.at(0).toString());
        else if (name == "Available")
            sent = m_sim->emitAvailable();
        else if (name == "DataCounters")
            sent = m_sim->emitDataCounters(args.at(0).toULongLong(), args.at(1).toULongLong());
        else if (name == "Detached")
            sent = m_sim->emitDetached();
        else if (name == "Status")
            sent = m_sim->emitStatus();
        else if (name == "Suspended")
            sent = m_sim->emitSuspended(args.at(0).toUInt(), args.at(1).toString());
        QVERIFY(sent);

        QVERIFY(spy->wait());
        QCOMPARE(spy->count(), 1);
        if (name == "Status")
            QCOMPARE(qvariant_cast<GprsContextList>(spy->at(0).at(0)), expectedStatus);
        else
            QCOMPARE(spy->at(0), args);
        for (QSignalSpy *other : qAsConst(spies))
            QCOMPARE(other->count(), other == spy ? 1 : 0);
        qDeleteAll(spies);
    }

    void signalsKeepTheirOrder()
    {
        QuelmGprs gprs;
        QStringList seen;
        connect(&gprs, &QuelmGprs::Detached, this, [&] { seen << "Detached"; });
        connect(&gprs, &QuelmGprs::Available, this, [&] { seen << "Available"; });
        connect(&gprs, &QuelmGprs::Attached, this, [&](const QString &s) { seen << "Attached " + s; });
        QVERIFY(m_sim->emitDetached());
        QVERIFY(m_sim->emitAvailable());
        QVERIFY(m_sim->emitAttached("again"));
        QTRY_COMPARE(seen, QStringList({ "Detached", "Available", "Attached again" }));
    }

    void noSignalAfterDestruction()
    {
        int received = 0;
        QuelmGprs *gone = new QuelmGprs;
        QPointer<QObject> priv = gone->findChild<QObject *>();
        QVERIFY(priv);
        connect(gone, &QuelmGprs::Detached, this, [&] { ++received; });
        delete gone;
        QVERIFY(priv.isNull());

        // A second wrapper on the same connection: once it has the signal,
        // the first one would have had it too.
        QuelmGprs witness;
        QSignalSpy spy(&witness, &QuelmGprs::Detached);
        QVERIFY(m_sim->emitDetached());
        QVERIFY(spy.wait());
        QCOMPARE(received, 0);
    }

    void proxyCallsAndProperties()
    {
        ComOrvelQuelmGprs proxy(
            "com.orvel.quelm.GPRS", "/com/orvel/quelm/gprs", QDBusConnection::systemBus(), nullptr);
        QDBusPendingReply<QDBusObjectPath> first = proxy.QuickConnect("", "", "", "");
        QDBusPendingReply<QDBusObjectPath> second = proxy.QuickConnect("internet", "IP", "user", "pass");
        second.waitForFinished();
        QVERIFY(first.isValid() && second.isValid());
        const QList<GprsSimControl::Call> calls = m_sim->calls("QuickConnect");
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls.at(0).args, QStringList({ "", "", "", "" }));
        QCOMPARE(calls.at(1).args, QStringList({ "internet", "IP", "user", "pass" }));
        QCOMPARE(proxy.GetStatus().value().value(second.value()).apn, QStringLiteral("internet"));

        QCOMPARE(proxy.attachMode(), QStringLiteral("auto"));
        QVERIFY(proxy.attached());
        m_sim->addContext("x", "IP", "gprs2", "10.9.9.9", true, 5, 7);
        QCOMPARE(proxy.rxBytes(), qulonglong(5));
        QCOMPARE(proxy.txBytes(), qulonglong(7));
        proxy.setStatusInterval(30);
        QCOMPARE(proxy.statusInterval(), 30u);
    }

    // What the other clients of the simulator rely on: context properties,
    // Delete, and the scripted failures, omissions and holds.
    void simulatorContexts()
    {
        ComOrvelQuelmGprs proxy(
            "com.orvel.quelm.GPRS", "/com/orvel/quelm/gprs", QDBusConnection::systemBus(), nullptr);
        auto get = [](const QDBusObjectPath &path, const QString &name) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                "com.orvel.quelm.GPRS", path.path(), "org.freedesktop.DBus.Properties", "Get");
            call << QStringLiteral("com.orvel.quelm.GPRS.Context") << name;
            return QDBusReply<QDBusVariant>(QDBusConnection::systemBus().call(call));
        };
        auto remove = [](const QDBusObjectPath &path) {
            return QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
                "com.orvel.quelm.GPRS", path.path(), "com.orvel.quelm.GPRS.Context", "Delete"));
        };

        QVERIFY(m_sim->setContextProperty("NetIF", "gprs7"));
        QVERIFY(!m_sim->setContextProperty("NoSuch", "x"));
        QVERIFY(m_sim->omitProperty("SDNSAddress"));
        const QDBusObjectPath path = proxy.QuickConnect("internet", "IP", "", "").value();
        QVERIFY(!path.path().isEmpty());
        QCOMPARE(get(path, "PDPAddress").value().variant().toString(), QStringLiteral("10.1.2.3"));
        QCOMPARE(get(path, "PDNSAddress").value().variant().toString(), QStringLiteral("10.1.1.1"));
        QCOMPARE(get(path, "NetIF").value().variant().toString(), QStringLiteral("gprs7"));
        QCOMPARE(get(path, "SDNSAddress").error().type(), QDBusError::UnknownProperty);
        QCOMPARE(proxy.GetStatus().value().value(path).iface, QStringLiteral("gprs7"));

        QVERIFY(m_sim->failNext("Delete", "com.orvel.quelm.GPRS.Error.Busy"));
        QCOMPARE(remove(path).errorName(), QStringLiteral("com.orvel.quelm.GPRS.Error.Busy"));
        QVERIFY(proxy.GetStatus().value().contains(path));
        QCOMPARE(remove(path).type(), QDBusMessage::ReplyMessage);
        QVERIFY(proxy.GetStatus().value().isEmpty());
        QCOMPARE(remove(path).type(), QDBusMessage::ErrorMessage);

        // A held answer stays away until released.
        QVERIFY(m_sim->holdNext("QuickConnect"));
        QDBusPendingCallWatcher held(proxy.QuickConnect("mms", "IP", "u", "p"));
        QSignalSpy finished(&held, &QDBusPendingCallWatcher::finished);
        QVERIFY(m_sim->waitForCalls("QuickConnect", 2));
        QVERIFY(proxy.GetStatus().value().size() == 1); // a later call is answered meanwhile
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 0);
        QVERIFY(m_sim->releaseHeld());
        QVERIFY(finished.wait());
        QVERIFY(!QDBusPendingReply<QDBusObjectPath>(held).isError());

        const QList<GprsSimControl::Call> calls = m_sim->calls();
        QCOMPARE(calls.at(1).member, QStringLiteral("Get"));
        QCOMPARE(calls.at(1).args, QStringList({ "com.orvel.quelm.GPRS.Context", "PDPAddress" }));
        QCOMPARE(calls.at(1).path, path.path());
    }

    void proxyWithoutService()
    {
        QVERIFY(m_sim->setServicePresent(false));
        ComOrvelQuelmGprs proxy(
            "com.orvel.quelm.GPRS", "/com/orvel/quelm/gprs", QDBusConnection::systemBus(), nullptr);
        LogCapture log;
        QDBusPendingReply<QDBusObjectPath> reply = proxy.QuickConnect("internet", "IP", "", "");
        reply.waitForFinished();
        QVERIFY(reply.isError());
        QCOMPARE(reply.error().type(), QDBusError::ServiceUnknown);
        QCOMPARE(log.lines(), QStringList());
    }

    // Clients connect by signature text: the names, order and parameter
    // names the service contract gives.
    void metaObjects()
    {
        const QStringList signalList { "AttachFailed(uint,QString):in0 in1", "Attached(QString):in0",
            "Available():", "DataCounters(qulonglong,qulonglong):in0 in1",
            "Detached():", "Status(GprsContextList):in0", "Suspended(uint,QString):in0 in1" };
        QCOMPARE(methodSignatures(&QuelmGprs::staticMetaObject), signalList);
        const QStringList slotList { "Attach():", "Create():", "Detach():", "GetStatus():",
            "QuickConnect(QString,QString,QString,QString):in0 in1 in2 in3" };
        QCOMPARE(methodSignatures(&ComOrvelQuelmGprs::staticMetaObject), signalList + slotList);
        QuelmGprs gprs;
        QVERIFY(qobject_cast<QuelmGprs *>(&gprs));
        QCOMPARE(gprs.metaObject()->className(), "QuelmGprs");
    }
};

QTEST_GUILESS_MAIN(TestGprs)
#include "tst_gprs.moc"
