#ifndef RESOURCES_H
#define RESOURCES_H

// What a long-lived process could leak, counted the same way before and after
// a long run.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QVariantMap>

#include <malloc.h>
#include <unistd.h>

struct Resources {
    qint64 heap = 0;      // bytes malloc has handed out and not got back
    int fds = 0;          // open file descriptors
    int children = 0;     // live child processes
    int matchRules = -1;  // this process's match rules on the system bus; -1: no bus
    int objects = 0;      // QObjects under the object being exercised

    static Resources count(const QObject *root)
    {
        Resources r;
        // The bus first: the first use of the system bus starts Qt's D-Bus
        // thread and its descriptors, which must not show up as growth
        // between two counts.
        QDBusConnection bus = QDBusConnection::systemBus();
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.Debug.Stats"), QStringLiteral("GetConnectionStats"));
            call << bus.baseService();
            const QDBusReply<QVariantMap> stats = bus.call(call);
            if (stats.isValid())
                r.matchRules = stats.value().value(QStringLiteral("MatchRules")).toInt();
        }
        const struct mallinfo2 m = mallinfo2();
        r.heap = qint64(m.uordblks + m.hblkhd);
        r.fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
        const QByteArray self = QByteArray::number(qint64(getpid()));
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!entry.at(0).isDigit() || !stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            // pid (comm) state ppid ...; comm may hold blanks and parentheses.
            const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (rest.size() > 1 && rest.at(1) == self)
                ++r.children;
        }
        r.objects = root ? root->findChildren<QObject *>().size() : 0;
        return r;
    }

    // The heap figure means something only with glibc's own allocator: a
    // sanitizer or valgrind replaces it, and then leaks are theirs to find.
    static bool heapIsMeasurable()
    {
#if defined(__SANITIZE_ADDRESS__)
        return false;
#else
        return mallinfo2().uordblks > 0 && qEnvironmentVariableIsEmpty("TARNEX_UNDER_VALGRIND");
#endif
    }
};

inline QDebug operator<<(QDebug d, const Resources &r)
{
    QDebugStateSaver saver(d);
    d.nospace() << "heap " << r.heap << " B, fds " << r.fds << ", children " << r.children << ", match rules "
                << r.matchRules << ", objects " << r.objects;
    return d;
}

// Full length with TARNEX_ENDURANCE=full (make endurance), a short run in the
// normal suite.
inline int enduranceCount(int full, int quick)
{
    return qgetenv("TARNEX_ENDURANCE") == "full" ? full : quick;
}

#endif // RESOURCES_H
