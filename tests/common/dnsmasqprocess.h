#ifndef DNSMASQPROCESS_H
#define DNSMASQPROCESS_H

#include "loggedprocess.h"

// A real DNS server for tests: Debian's dnsmasq in the foreground, answering
// only from its own rules (no upstream, no /etc/hosts), on one address, with
// every query logged. Run it inside the private namespace a test launcher
// made (never on the machine's own network).
class DnsmasqProcess : public LoggedProcess
{
public:
    // `rules` are dnsmasq options, e.g. "--address=/name.test/10.1.0.1" (that
    // name and everything under it), "--local=/test/" (other names under
    // .test are NXDOMAIN); names no rule covers are REFUSED. With `netnsPid`,
    // it runs in that process's network namespace. Waits until it serves; says
    // why not in a warning.
    bool start(const QString &address, quint16 port, const QStringList &rules, qint64 netnsPid = 0);

    // Queries received so far, e.g. "query[A] name.test from 10.88.0.2".
    QStringList queries() { return pickLines(QStringLiteral(": query["), QStringLiteral(": ")); }

protected:
    QStringList picked() override { return queries(); }
};

#endif // DNSMASQPROCESS_H
