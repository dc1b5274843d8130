#include "dnsmasqprocess.h"

#include <QFileInfo>

bool DnsmasqProcess::start(const QString &address, quint16 port, const QStringList &rules, qint64 netnsPid)
{
    const QString dnsmasq = QStringLiteral("/usr/sbin/dnsmasq");
    if (!QFileInfo(dnsmasq).isExecutable()) {
        qWarning("%s is not installed (package dnsmasq-base)", qPrintable(dnsmasq));
        return false;
    }
    // --user/--group root: the default user may not exist (dnsmasq-base
    // ships none) or may not be mapped in a user namespace.
    QStringList args { QStringLiteral("--keep-in-foreground"), QStringLiteral("--no-resolv"),
        QStringLiteral("--no-hosts"), QStringLiteral("--bind-interfaces"),
        QStringLiteral("--listen-address=") + address, QStringLiteral("--port=%1").arg(port),
        QStringLiteral("--log-queries"), QStringLiteral("--log-facility=-"), QStringLiteral("--user=root"),
        QStringLiteral("--group=root"), QStringLiteral("--pid-file=") };
    args += rules;
    if (netnsPid > 0) {
        // nsenter execs dnsmasq, so the pid stays dnsmasq's.
        args.prepend(dnsmasq);
        args.prepend(QStringLiteral("--net=/proc/%1/ns/net").arg(netnsPid));
        m_process.setProgram(QStringLiteral("nsenter"));
    } else {
        m_process.setProgram(dnsmasq);
    }
    m_process.setArguments(args);
    if (startAndWait(QStringLiteral("dnsmasq"), QStringLiteral("started, version")))
        return true;
    qWarning("%s", qPrintable(m_error));
    return false;
}
