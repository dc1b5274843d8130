#ifndef BEARERNET_H
#define BEARERNET_H

// The handset of in-netns --veth wlan0 ... --veth gprs0 ...: wlan0 on a /24
// with the default route, gprs0 with a bare /32 as on a point-to-point
// bearer, so only a socket bound to gprs0 reaches the operator (10.88.0.1)
// through it.
#include <QProcess>
#include <QtTest>

#include "netnsguard.h"

inline bool ip(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("ip"), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Sets the interfaces up, only inside the namespace of in-netns; false with
// `why` otherwise. `peer`: the peer namespace's process.
inline bool setUpHandset(qint64 *peer, QString *why)
{
    if (!insideTestNetns(why))
        return false;
    *peer = qEnvironmentVariableIntValue("TARNEX_PEER_PID");
    *why = QStringLiteral("run through in-netns --veth wlan0 ... --veth gprs0 ...");
    return *peer > 0 && ip({ "addr", "add", "10.77.0.2/24", "dev", "wlan0" })
        && ip({ "link", "set", "wlan0", "up" }) && ip({ "addr", "add", "10.88.0.2/32", "dev", "gprs0" })
        && ip({ "link", "set", "gprs0", "up" })
        && ip({ "route", "add", "default", "via", "10.77.0.1", "dev", "wlan0" });
}

#endif // BEARERNET_H
