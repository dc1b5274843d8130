// The GPRS service client against real D-Bus: the context record as it goes
// on the wire (read back raw by a second connection; reading one is the fuzz
// target's) and the status wrapper against gprs-sim.
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

GprsContext context(const QString &apn, const QString &addr, bool active, qulonglong rx, qulonglong tx)
{
    GprsContext c;
    std::tie(c.apn, c.proto, c.iface, c.addr, c.active, c.rx, c.tx)
        = std::make_tuple(apn, QString("IP"), QString("gprs0"), addr, active, rx, tx);
    return c;
}

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
} // namespace

class TestGprs : public QObject
{
    Q_OBJECT

private:
    // The context into the simulator, and under the path it got into `list`.
    void addTo(GprsContextList &list, const GprsContext &c)
    {
        list.insert(m_sim.addContext(c.apn, c.proto, c.iface, c.addr, c.active, c.rx, c.tx), c);
    }

    GprsSimControl m_sim;

private Q_SLOTS:
    void init() { QVERIFY2(m_sim.reset(), "run under tests/launchers/with-bus --sim gprs-sim"); }

    // Every field in order, 64-bit counters whole, text as UTF-8, read
    // without GprsContext's own reader.
    void wireForm()
    {
        QDBusConnection peerBus
            = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), "echo-peer");
        EchoPeer peer;
        QVERIFY(peerBus.registerVirtualObject("/echo", &peer));
        const GprsContext sent
            = context(QString::fromUtf8("mms.operaattori.fi ä"), "fe80::1", true, Max64, 2);
        QDBusMessage call
            = QDBusMessage::createMethodCall(peerBus.baseService(), "/echo", "org.tarnex.Test", "Echo");
        call << QVariant::fromValue(sent);
        // The peer's object lives on this thread: keep its events flowing.
        QCOMPARE(
            QDBusConnection::systemBus().call(call, QDBus::BlockWithGui).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(peer.last.signature(), QString("(ssssbtt)"));
        const QDBusArgument raw = peer.last.arguments().at(0).value<QDBusArgument>();
        GprsContext read;
        raw.beginStructure();
        raw >> read.apn >> read.proto >> read.iface >> read.addr >> read.active >> read.rx >> read.tx;
        raw.endStructure();
        QCOMPARE(QVariantList({ read.apn, read.proto, read.iface, read.addr, read.active, read.rx, read.tx }),
            QVariantList({ sent.apn, sent.proto, sent.iface, sent.addr, sent.active, sent.rx, sent.tx }));
        peerBus.unregisterObject("/echo");
        QDBusConnection::disconnectFromBus("echo-peer");
    }

    // A slow answer is waited for, not taken for a failure; a failure or an
    // absent service gives no contexts.
    void getStatus()
    {
        QuelmGprs gprs;
        GprsContextList expected;
        addTo(expected, context("internet", "10.1.2.3", true, 100, 20));
        addTo(expected, context("mms", "10.4.5.6", false, Max64, 0));
        QVERIFY(m_sim.holdNext("GetStatus", 300));
        QCOMPARE(gprs.getStatus(), expected);
        QVERIFY(m_sim.failNext("GetStatus", "com.orvel.quelm.GPRS.Error.Failed"));
        QVERIFY(gprs.getStatus().isEmpty());
        QVERIFY(m_sim.setServicePresent(false));
        QVERIFY(gprs.getStatus().isEmpty());
        QVERIFY(m_sim.setServicePresent(true));
    }

    // Each service signal reaches the wrapper's signal of the same name with
    // its arguments unchanged, and no other one fires. Status carries the
    // simulator's contexts.
    void signalsForwarded()
    {
        QuelmGprs gprs;
        GprsContextList status;
        addTo(status, context("internet", "10.1.2.3", true, 1, Max64));
        const QMetaObject *mo = gprs.metaObject();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
            spies.emplace_back(new QSignalSpy(&gprs, ("2" + mo->method(i).methodSignature()).constData()));
        for (size_t i = 0; i < spies.size(); ++i) {
            const QMetaMethod signal = mo->method(mo->methodOffset() + int(i));
            QVariantList args;
            for (int p = 0; p < signal.parameterCount(); ++p) {
                if (signal.parameterType(p) == QMetaType::UInt)
                    args << uint(0xffffffffu);
                else if (signal.parameterType(p) == QMetaType::ULongLong)
                    args << qulonglong(Max64 - p);
                else if (signal.parameterType(p) == QMetaType::QString)
                    args << QString::fromUtf8(signal.name() + " ä");
            }
            QVERIFY(m_sim.emitSignal(QString::fromLatin1(signal.name()), args));
            QVERIFY2(spies[i]->wait(), signal.methodSignature().constData());
            if (signal.name() == "Status")
                QCOMPARE(qvariant_cast<GprsContextList>(spies[i]->at(0).at(0)), status);
            else
                QCOMPARE(spies[i]->at(0), args);
            for (const auto &spy : spies)
                QCOMPARE(spy->count(), spy == spies[i] ? 1 : 0);
            spies[i]->clear();
        }
    }
};

QTEST_GUILESS_MAIN(TestGprs)
#include "tst_gprs.moc"
