#include "netnsguard.h"

#include <QByteArray>
#include <unistd.h>

bool insideTestNetns(QString *why)
{
    const QByteArray expected = qgetenv("TARNEX_NETNS");
    if (expected.isEmpty()) {
        *why = QStringLiteral("TARNEX_NETNS is not set: run this test through tests/launchers/in-netns");
        return false;
    }
    char own[128];
    const ssize_t n = readlink("/proc/self/ns/net", own, sizeof own);
    if (n <= 0 || QByteArray(own, int(n)) != expected) {
        *why = QStringLiteral("not inside the network namespace that in-netns made (%1)")
                   .arg(QString::fromLatin1(expected));
        return false;
    }
    return true;
}
