#include "dnsmasqprocess.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#include <signal.h>

namespace {
const QString Dnsmasq = QStringLiteral("/usr/sbin/dnsmasq");
}

DnsmasqProcess::DnsmasqProcess()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

DnsmasqProcess::~DnsmasqProcess()
{
    stop();
}

bool DnsmasqProcess::start(const QString &address, quint16 port, const QStringList &rules, qint64 netnsPid)
{
    if (!QFileInfo(Dnsmasq).isExecutable()) {
        m_error = Dnsmasq + QStringLiteral(" is not installed (package dnsmasq-base)");
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
        args.prepend(Dnsmasq);
        args.prepend(QStringLiteral("--net=/proc/%1/ns/net").arg(netnsPid));
        m_process.setProgram(QStringLiteral("nsenter"));
    } else {
        m_process.setProgram(Dnsmasq);
    }
    m_process.setArguments(args);
    m_pending.clear();
    m_log.clear();
    m_process.start();
    if (waitForLine(QStringLiteral("started, version"), false, 15000))
        return true;
    m_error = QStringLiteral("dnsmasq did not start: ") + m_process.errorString() + QLatin1Char('\n')
        + m_log.join(QLatin1Char('\n'));
    stop();
    return false;
}

void DnsmasqProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void DnsmasqProcess::collect()
{
    m_pending += m_process.readAll();
    int nl;
    while ((nl = m_pending.indexOf('\n')) >= 0) {
        m_log << QString::fromLocal8Bit(m_pending.left(nl));
        m_pending.remove(0, nl + 1);
    }
}

QStringList DnsmasqProcess::queries()
{
    collect();
    QStringList out;
    for (const QString &line : qAsConst(m_log)) {
        const int at = line.indexOf(QLatin1String(": query["));
        if (at >= 0)
            out << line.mid(at + 2);
    }
    return out;
}

bool DnsmasqProcess::waitForLine(const QString &needle, bool queriesOnly, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        for (const QString &line : queriesOnly ? queries() : m_log)
            if (line.contains(needle))
                return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}
