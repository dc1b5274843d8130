#ifndef GPRSCONTEXT_H
#define GPRSCONTEXT_H

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDebug>
#include <QHash>
#include <QMetaType>
#include <QString>

// One packet-data (PDP) context as the cellular GPRS service reports it. On
// D-Bus it is the structure (ssssbtt), members in declaration order.
class GprsContext
{
public:
    GprsContext();

    // All seven fields take part: a record whose address changed is a
    // different context state.
    bool operator==(const GprsContext &other) const;
    bool operator!=(const GprsContext &other) const { return !(*this == other); }

    void toDBusArgument(QDBusArgument &argument) const;
    void fromDBusArgument(const QDBusArgument &argument);

    // Makes "GprsContext" and "GprsContextList" known to the meta-type system
    // and to QtDBus. Safe to call any number of times.
    static void registerTypes();

    QString apn;
    QString proto;
    QString iface;
    QString addr;
    bool active;
    qulonglong rx;
    qulonglong tx;
};

// Contexts keyed by the object path the service gave them; D-Bus a{o(ssssbtt)}.
typedef QHash<QDBusObjectPath, GprsContext> GprsContextList;

QDBusArgument &operator<<(QDBusArgument &argument, const GprsContext &context);
const QDBusArgument &operator>>(const QDBusArgument &argument, GprsContext &context);

// Prints "apn:.. proto:.. iface:.. addr:.. active:0|1 rx:.. tx:.." as one quoted string.
QDebug &operator<<(QDebug &debug, const GprsContext &context);

Q_DECLARE_METATYPE(GprsContext)
Q_DECLARE_METATYPE(GprsContextList)

#endif // GPRSCONTEXT_H
