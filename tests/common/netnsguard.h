#ifndef NETNSGUARD_H
#define NETNSGUARD_H

#include <QFile>
#include <QString>

// Whether this process runs in the network namespace tests/launchers/in-netns
// made for it; tests that run ifconfig or route (real or fake) refuse to run
// otherwise, so they never touch the machine's own network.
inline bool insideTestNetns(QString *why)
{
    const QByteArray expected = qgetenv("TARNEX_NETNS");
    if (!expected.isEmpty()
        && QFile::symLinkTarget("/proc/self/ns/net").endsWith('/' + QString::fromLatin1(expected)))
        return true;
    *why = "not inside the network namespace of tests/launchers/in-netns (TARNEX_NETNS: "
        + QString::fromLatin1(expected) + ")";
    return false;
}

#endif // NETNSGUARD_H
