#ifndef INTERFACENAMES_H
#define INTERFACENAMES_H

#include <QStringList>

// Interface names that neither the connection nor the packet-data library
// may put on an ifconfig command line: one table for both, as both follow
// one rule.
inline QStringList refusedInterfaceNames()
{
    return { QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("../x"),
        QStringLiteral("gprs0:1"), QStringLiteral("-a"), QStringLiteral("gprs0 up"),
        QStringLiteral("gprs\t0"), QStringLiteral("gprs\x7f"), QString::fromUtf8("gpr\xc3\xa9s0"),
        QStringLiteral("interfacename016") };
}

#endif // INTERFACENAMES_H
