// The GPRS service client against real D-Bus: the context record's wire form
// (checked against a second connection that reads and writes the raw
// structure) and the status wrapper against gprs-sim.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "gprscontext.h"
#include "gprssimcontrol.h"
#include "quelmgprs.h"

namespace {
const qulonglong Max64 = std::numeric_limits<qulonglong>::max();

// Answers every call with the arguments it got, and keeps the call as it came
// off the wire.
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
    std::tie(c.apn, c.proto, c.iface, c.addr, c.active, c.rx, c.tx)
        = std::tie(apn, proto, iface, addr, active, rx, tx);
    return c;
}
} // namespace

class TestGprs : public QObject
{
    Q_OBJECT

private:
    QDBusMessage echo(const QVariant &argument)
    {
        QDBusMessage call
            = QDBusMessage::createMethodCall(m_peerBus.baseService(), "/echo", "org.tarnex.Test", "Echo");
        call << argument;
        // The peer's object lives on this thread: keep its events flowing.
        return QDBusConnection::systemBus().call(call, QDBus::BlockWithGui);
    }

    // The context into the simulator, and under the path it got into `list`.
    void addTo(GprsContextList &list, const GprsContext &c)
    {
        list.insert(m_sim->addContext(c.apn, c.proto, c.iface, c.addr, c.active, c.rx, c.tx), c);
    }

    QDBusConnection m_peerBus = QDBusConnection(QString());
    EchoPeer m_peer;
    GprsSimControl *m_sim = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS"), "run under tests/launchers/with-bus");
        m_peerBus
            = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), "echo-peer");
        QVERIFY(m_peerBus.isConnected());
        QVERIFY(m_peerBus.registerVirtualObject("/echo", &m_peer));
        m_sim = new GprsSimControl(this);
    }

    void init() { QVERIFY(m_sim->reset()); }

    void wireForm_data()
    {
        QTest::addColumn<GprsContext>("context");
        QTest::newRow("defaults") << GprsContext();
        QTest::newRow("64-bit counters, non-ascii")
            << makeContext("mms.operaattori.fi ä", "IPV6", "gprs1", "fe80::1", true, Max64, (Max64 >> 1) + 2);
    }

    // What goes on the wire, field by field, read without GprsContext's own
    // reader; and a structure built by hand, as the service sends it, reads
    // into the same seven values.
    void wireForm()
    {
        QFETCH(GprsContext, context);
        QCOMPARE(echo(QVariant::fromValue(context)).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(m_peer.last.signature(), QString("(ssssbtt)"));
        const QDBusArgument raw = m_peer.last.arguments().at(0).value<QDBusArgument>();
        GprsContext read = makeContext("x", "x", "x", "x", !context.active, 1, 1);
        raw.beginStructure();
        raw >> read.apn >> read.proto >> read.iface >> read.addr >> read.active >> read.rx >> read.tx;
        raw.endStructure();
        QVERIFY(!read.apn.isNull() && !read.proto.isNull() && !read.iface.isNull() && !read.addr.isNull());
        QCOMPARE(QVariantList({ read.apn, read.proto, read.iface, read.addr, read.active, read.rx, read.tx }),
            QVariantList({ context.apn, context.proto, context.iface, context.addr, context.active,
                context.rx, context.tx }));

        QDBusArgument built;
        built.beginStructure();
        built << context.apn << context.proto << context.iface << context.addr << context.active << context.rx
              << context.tx;
        built.endStructure();
        const QDBusMessage reply = echo(QVariant::fromValue(built));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(qdbus_cast<GprsContext>(reply.arguments().at(0)), context);
    }

    void getStatus()
    {
        QuelmGprs gprs;
        QVERIFY(gprs.getStatus().isEmpty());
        GprsContextList expected;
        addTo(expected, makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 100, 20));
        addTo(expected, makeContext("mms", "IP", "gprs1", "10.4.5.6", false, Max64, 0));
        QCOMPARE(gprs.getStatus(), expected);

        // A slow answer is waited for, not taken for a failure; a failure
        // gives no contexts.
        QVERIFY(m_sim->holdNext("GetStatus", 300));
        QCOMPARE(gprs.getStatus(), expected);
        QVERIFY(m_sim->failNext("GetStatus", "com.orvel.quelm.GPRS.Error.Failed"));
        QVERIFY(gprs.getStatus().isEmpty());
        QVERIFY(m_sim->setServicePresent(false));
        QVERIFY(gprs.getStatus().isEmpty());
        QVERIFY(m_sim->setServicePresent(true));
    }

    void signalsForwarded_data()
    {
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QVariantList>("args");
        QTest::newRow("AttachFailed")
            << QByteArray("AttachFailed(uint,QString)") << QVariantList { uint(0xffffffffu), "no network" };
        QTest::newRow("DataCounters")
            << QByteArray("DataCounters(qulonglong,qulonglong)") << QVariantList { Max64, qulonglong(1) };
        QTest::newRow("Status") << QByteArray("Status(GprsContextList)") << QVariantList {};
    }

    // A service signal reaches the wrapper's signal of the same name, with its
    // arguments unchanged, and no other signal fires: one row per argument
    // kind (Detached is the connection tests' own).
    void signalsForwarded()
    {
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, args);
        QuelmGprs gprs;
        const QByteArray name = signal.left(signal.indexOf('('));

        GprsContextList status;
        if (name == "Status")
            addTo(status, makeContext("internet", "IP", "gprs0", "10.1.2.3", true, 1, Max64));
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        QSignalSpy *spy = nullptr;
        const QMetaObject *mo = gprs.metaObject();
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            spies.emplace_back(new QSignalSpy(&gprs, ("2" + mo->method(i).methodSignature()).constData()));
            if (mo->method(i).methodSignature() == signal)
                spy = spies.back().get();
        }
        QVERIFY(spy);
        QVERIFY(m_sim->emitSignal(QString::fromLatin1(name), args));
        QVERIFY(spy->wait());
        if (name == "Status")
            QCOMPARE(qvariant_cast<GprsContextList>(spy->at(0).at(0)), status);
        else
            QCOMPARE(spy->at(0), args);
        for (const auto &other : spies)
            QCOMPARE(other->count(), other.get() == spy ? 1 : 0);
    }

    // The wrapper takes its proxy with it: no signal reaches a deleted one.
    void noSignalAfterDestruction()
    {
        int received = 0;
        QuelmGprs *gone = new QuelmGprs;
        QPointer<QObject> priv = gone->findChild<QObject *>();
        QVERIFY(priv);
        connect(gone, &QuelmGprs::Detached, this, [&] { ++received; });
        delete gone;
        QVERIFY(priv.isNull());

        // Once a second wrapper has the signal, the first would have had it too.
        QuelmGprs witness;
        QSignalSpy spy(&witness, &QuelmGprs::Detached);
        QVERIFY(m_sim->emitDetached());
        QVERIFY(spy.wait());
        QCOMPARE(received, 0);
    }
};

QTEST_GUILESS_MAIN(TestGprs)
#include "tst_gprs.moc"
