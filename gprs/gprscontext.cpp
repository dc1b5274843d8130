#include "gprscontext.h"

#include <QDBusMetaType>

GprsContext::GprsContext()
    : active(false)
    , rx(0)
    , tx(0)
{
    registerTypes();
}

bool GprsContext::operator==(const GprsContext &other) const
{
    return apn == other.apn && proto == other.proto && iface == other.iface && addr == other.addr
        && active == other.active && rx == other.rx && tx == other.tx;
}

void GprsContext::toDBusArgument(QDBusArgument &argument) const
{
    argument.beginStructure();
    argument << apn << proto << iface << addr << active << rx << tx;
    argument.endStructure();
}

void GprsContext::fromDBusArgument(const QDBusArgument &argument)
{
    argument.beginStructure();
    argument >> apn >> proto >> iface >> addr >> active >> rx >> tx;
    argument.endStructure();
}

void GprsContext::registerTypes()
{
    // A function-local static runs its initialiser exactly once, even if two
    // threads race here.
    static const bool registered = [] {
        qRegisterMetaType<GprsContext>("GprsContext");
        qRegisterMetaType<GprsContextList>("GprsContextList");
        qDBusRegisterMetaType<GprsContext>();
        qDBusRegisterMetaType<GprsContextList>();
        return true;
    }();
    Q_UNUSED(registered)
}

QDBusArgument &operator<<(QDBusArgument &argument, const GprsContext &context)
{
    context.toDBusArgument(argument);
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, GprsContext &context)
{
    context.fromDBusArgument(argument);
    return argument;
}

QDebug &operator<<(QDebug &debug, const GprsContext &context)
{
    // One multi-argument arg() fills all placeholders in a single pass, so a
    // "%5" inside an access point name is printed as it is, not replaced.
    const QString text = QStringLiteral("apn:%1 proto:%2 iface:%3 addr:%4 active:%5 rx:%6 tx:%7")
                             .arg(context.apn, context.proto, context.iface, context.addr,
                                 QString::number(context.active ? 1 : 0), QString::number(context.rx),
                                 QString::number(context.tx));
    debug << text;
    return debug;
}
