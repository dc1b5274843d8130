#include "gprssimcontrol.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtDebug>

namespace {
const QString Service = QStringLiteral("org.tarnex.GprsSimulator");
const QString Path = QStringLiteral("/");
const QString Interface = QStringLiteral("org.tarnex.GprsSimulator.Control");
} // namespace

GprsSimControl::GprsSimControl(QObject *parent)
    : QObject(parent)
    , m_bus(QDBusConnection::systemBus())
{
    if (!m_bus.connect(
            Service, Path, Interface, QStringLiteral("CallReceived"), this, SIGNAL(callReceived())))
        qWarning() << "GprsSimControl: cannot subscribe to CallReceived:" << m_bus.lastError().message();
    // A round trip to the bus: once it is answered, the bus has the match rule
    // above, so no call made from now on (from any connection) goes unseen.
    if (!m_bus.interface()->isServiceRegistered(Service).value())
        qWarning() << "GprsSimControl: the simulator is not on the bus";
}

bool GprsSimControl::invoke(const QString &method, const QList<QVariant> &args, QList<QVariant> *results)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, method);
    call.setArguments(args);
    const QDBusMessage reply = m_bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "GprsSimControl:" << method << "failed:" << reply.errorName() << reply.errorMessage();
        return false;
    }
    if (results)
        *results = reply.arguments();
    return true;
}

bool GprsSimControl::setContextProperty(const QString &name, const QString &value)
{
    QList<QVariant> results;
    return invoke("SetContextProperty", { name, value }, &results) && results.value(0).toBool();
}

QDBusObjectPath GprsSimControl::addContext(const QString &apn, const QString &proto, const QString &iface,
    const QString &addr, bool active, qulonglong rx, qulonglong tx)
{
    QList<QVariant> results;
    invoke("AddContext", { apn, proto, iface, addr, active, rx, tx }, &results);
    return results.value(0).value<QDBusObjectPath>();
}

QList<GprsSimControl::Call> GprsSimControl::calls(const QString &member)
{
    QList<QVariant> results;
    QList<Call> out;
    if (!invoke("Calls", {}, &results))
        return out;
    const QDBusArgument arg = results.value(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        Call c;
        arg.beginStructure();
        arg >> c.path >> c.interface >> c.member >> c.args;
        arg.endStructure();
        if (member.isEmpty() || c.member == member)
            out << c;
    }
    arg.endArray();
    return out;
}

bool GprsSimControl::waitForCalls(const QString &member, int count, int timeoutMs)
{
    // The simulator's own log decides; its CallReceived signal only wakes us.
    // The signal arrives as an event of this loop, so none is missed between
    // a look at the log and the wait.
    QElapsedTimer clock;
    clock.start();
    while (calls(member).size() < count) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(left, &loop, &QEventLoop::quit);
        connect(this, &GprsSimControl::callReceived, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}
