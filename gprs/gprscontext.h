#ifndef GPRSCONTEXT_H
#define GPRSCONTEXT_H

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDebug>
#include <QHash>
#include <QMetaType>
#include <QString>

/**
 * \file gprscontext.h
 * GprsContext and GprsContextList, the GPRS service's context records, with their D-Bus and debug forms.
 */

/**
 * \brief One packet-data (PDP) context as the cellular GPRS service reports it.
 *
 * A plain value: the service's Status signal and GetStatus answer (QuelmGprs, ComOrvelQuelmGprs) carry
 * them in a GprsContextList. On D-Bus a record is the structure `(ssssbtt)`, its members in the order of
 * the fields below; a null string goes out as an empty one. What the service puts in the fields is the
 * service's business; the library does not read them.
 */
class GprsContext
{
public:
    /// Empty strings, false and zero counters. Also makes the two types known (registerTypes()).
    GprsContext();

    /// True when all seven fields are equal.
    bool operator==(const GprsContext &other) const;
    /// True when any of the seven fields differs.
    bool operator!=(const GprsContext &other) const { return !(*this == other); }

    /// Appends the record to \a argument as the structure `(ssssbtt)`.
    void toDBusArgument(QDBusArgument &argument) const;
    /// Reads the record from the structure `(ssssbtt)` in \a argument.
    void fromDBusArgument(const QDBusArgument &argument);

    /**
     * Makes "GprsContext" and "GprsContextList" known to Qt's meta-type system and to QtDBus, so that they
     * can travel in signals, variants and D-Bus messages. Registers once per process, however often and from
     * whichever thread it is called.
     */
    static void registerTypes();

    QString apn; ///< Access point name of the context.
    QString proto; ///< Protocol of the context, as text (e.g. "IP").
    QString iface; ///< Network interface of the context.
    QString addr; ///< Address of the context, as text.
    bool active; ///< Whether the context is active.
    qulonglong rx; ///< Received-bytes counter.
    qulonglong tx; ///< Transmitted-bytes counter.
};

/**
 * The contexts the service knows, keyed by the object path it gave each; on D-Bus `a{o(ssssbtt)}`. A path
 * that occurs twice in one answer (a corrupt dictionary) is kept twice by the Qt 5 library (QHash::values()
 * lists both) and once by the Qt 6 library; a look-up by path gives the last record under both.
 */
typedef QHash<QDBusObjectPath, GprsContext> GprsContextList;

/// Writes \a context to \a argument (GprsContext::toDBusArgument()); for QtDBus.
QDBusArgument &operator<<(QDBusArgument &argument, const GprsContext &context);
/// Reads \a context from \a argument (GprsContext::fromDBusArgument()); for QtDBus.
const QDBusArgument &operator>>(const QDBusArgument &argument, GprsContext &context);

/**
 * Prints \a context as one quoted string, "apn:.. proto:.. iface:.. addr:.. active:0|1 rx:.. tx:..". It
 * takes the stream by non-const reference, as in release 1.0: `qDebug() << "context" << c` compiles,
 * `qDebug() << c` does not.
 */
QDebug &operator<<(QDebug &debug, const GprsContext &context);

Q_DECLARE_METATYPE(GprsContext)
Q_DECLARE_METATYPE(GprsContextList)

#endif // GPRSCONTEXT_H
