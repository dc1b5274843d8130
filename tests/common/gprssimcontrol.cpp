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

QList<GprsSimControl::Call> GprsSimControl::calls(const QString &member)
{
    QList<Call> out;
    const QDBusArgument arg = invoke("Calls").arguments().value(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        Call c;
        QString interface;
        arg.beginStructure();
        arg >> c.path >> interface >> c.member >> c.args;
        arg.endStructure();
        if (member.isEmpty() || c.member == member)
            out << c;
    }
    arg.endArray();
    return out;
}

bool GprsSimControl::waitForCalls(const QString &member, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return calls(member).size() >= count; }, timeoutMs);
}
