#include "dnsmasqprocess.h"

bool DnsmasqProcess::start(const QString &address, quint16 port, const QStringList &rules, qint64 netnsPid)
{
    // --user/--group root: the default user may not exist (dnsmasq-base
    // ships none) or may not be mapped in a user namespace.
    QStringList args = QStringLiteral("/usr/sbin/dnsmasq --keep-in-foreground --no-resolv --no-hosts "
                                      "--bind-interfaces --log-queries --log-facility=- --user=root "
                                      "--group=root --pid-file=")
                           .split(QLatin1Char(' '));
    args << QStringLiteral("--listen-address=") + address << QStringLiteral("--port=%1").arg(port) << rules;
    // nsenter execs dnsmasq, so the pid stays dnsmasq's.
    if (netnsPid > 0)
        args.prepend(QStringLiteral("--net=/proc/%1/ns/net").arg(netnsPid));
    m_process.setProgram(netnsPid > 0 ? QStringLiteral("nsenter") : args.takeFirst());
    m_process.setArguments(args);
    if (startAndWait(QStringLiteral("dnsmasq"), QStringLiteral("started, version")))
        return true;
    qWarning("%s (dnsmasq is in the package dnsmasq-base)", qPrintable(m_error));
    return false;
}
