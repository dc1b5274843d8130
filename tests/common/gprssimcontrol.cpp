#include "gprssimcontrol.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QTest>
#include <QtDebug>

QDBusMessage GprsSimControl::invoke(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.tarnex.GprsSimulator", "/", "org.tarnex.GprsSimulator.Control", method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (!ok(reply))
        qWarning() << "GprsSimControl:" << method << "failed:" << reply.errorName() << reply.errorMessage();
    return reply;
}

QDBusObjectPath GprsSimControl::addContext(const QString &apn, const QString &proto, const QString &iface,
    const QString &addr, bool active, qulonglong rx, qulonglong tx)
{
    return invoke("AddContext", { apn, proto, iface, addr, active, rx, tx })
        .arguments()
        .value(0)
        .value<QDBusObjectPath>();
}

QList<QStringList> GprsSimControl::calls(const QString &member)
{
    QList<QStringList> out;
    const QDBusArgument arg = invoke("Calls").arguments().value(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QString path, interface, name;
        QStringList args;
        arg.beginStructure();
        arg >> path >> interface >> name >> args;
        arg.endStructure();
        if (name == member)
            out << args;
    }
    arg.endArray();
    return out;
}

bool GprsSimControl::waitForCalls(const QString &member, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return calls(member).size() >= count; }, timeoutMs);
}
