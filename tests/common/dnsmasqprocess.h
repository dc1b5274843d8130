#ifndef DNSMASQPROCESS_H
#define DNSMASQPROCESS_H

#include "loggedprocess.h"

// Debian's dnsmasq in the foreground, answering only from its own rules (no
// upstream, no /etc/hosts), every query logged. Only inside the private
// namespace of a test launcher.
class DnsmasqProcess : public LoggedProcess
{
public:
    // `rules`: dnsmasq options ("--address=/name.test/10.1.0.1" covers the
    // names under it too; names no rule covers are REFUSED). With `netnsPid`,
    // in that process's network namespace. Waits until it serves, else warns.
    bool start(const QString &address, quint16 port, const QStringList &rules, qint64 netnsPid = 0);

    // Queries received so far, e.g. "query[A] name.test from 10.88.0.2".
    QStringList queries() { return pickLines(QStringLiteral(": query["), QStringLiteral(": ")); }
};

#endif // DNSMASQPROCESS_H
