#ifndef RESOURCES_H
#define RESOURCES_H

// What a long-lived process could leak, counted before and after a long run.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDir>
#include <QtTest>

#include <malloc.h>
#include <unistd.h>

struct Resources
{
    qint64 heap = 0; // bytes malloc has handed out and not got back
    int fds = 0;
    int children = 0; // live child processes
    int matchRules = -1; // this process's match rules on the system bus; -1: no bus
    int objects = 0; // QObjects under the object being exercised

    static Resources count(const QObject *root)
    {
        Resources r;
        // The bus first: its first use starts Qt's D-Bus thread and its
        // descriptors, which must not show up as growth between two counts.
        QDBusConnection bus = QDBusConnection::systemBus();
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus.Debug.Stats"),
                QStringLiteral("GetConnectionStats"));
            call << bus.baseService();
            const QDBusReply<QVariantMap> stats = bus.call(call);
            if (stats.isValid())
                r.matchRules = stats.value().value(QStringLiteral("MatchRules")).toInt();
        }
        const struct mallinfo2 m = mallinfo2();
        r.heap = qint64(m.uordblks + m.hblkhd);
        r.fds
            = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
        const QByteArray self = QByteArray::number(qint64(getpid()));
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!entry.at(0).isDigit() || !stat.open(QIODevice::ReadOnly))
                continue;
            // pid (comm) state ppid ...; comm may hold blanks and parentheses.
            const QByteArray line = stat.readAll();
            const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (rest.size() > 1 && rest.at(1) == self)
                ++r.children;
        }
        r.objects = root ? root->findChildren<QObject *>().size() : 0;
        return r;
    }
};

// Nothing may grow after warm-up; the heap counts only under glibc's own
// allocator (under a sanitizer or valgrind, leaks are theirs to find).
inline void compareResources(const Resources &before, const Resources &after, int rounds)
{
    qInfo("%d rounds, after warm-up -> at the end: heap %lld -> %lld B, fds %d -> %d, children %d -> %d, "
          "match rules %d -> %d, objects %d -> %d",
        rounds, before.heap, after.heap, before.fds, after.fds, before.children, after.children,
        before.matchRules, after.matchRules, before.objects, after.objects);
    QCOMPARE(after.fds, before.fds);
    QCOMPARE(after.children, before.children);
    QCOMPARE(after.matchRules, before.matchRules);
    QCOMPARE(after.objects, before.objects);
#if !defined(__SANITIZE_ADDRESS__)
    if (mallinfo2().uordblks > 0 && qEnvironmentVariableIsEmpty("TARNEX_UNDER_VALGRIND"))
        QVERIFY2(after.heap - before.heap < 64 * 1024,
            qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after.heap - before.heap)));
#endif
}

// Full length with TARNEX_ENDURANCE=full (make endurance), short in the suite.
inline int enduranceCount(int full, int quick)
{
    return qgetenv("TARNEX_ENDURANCE") == "full" ? full : quick;
}

#endif // RESOURCES_H
