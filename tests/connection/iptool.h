#ifndef IPTOOL_H
#define IPTOOL_H

#include <QProcess>
#include <QStringList>

// Output of `ip ARGS` in this namespace, trimmed; the error text if it fails.
inline QString ip(const QStringList &args)
{
    QProcess p;
    p.start("ip", args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return "ip failed: " + QString::fromLocal8Bit(p.readAllStandardError());
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// No regular expression: PCRE2's JIT reads past the string, which valgrind reports.
inline bool gprs0Up()
{
    return ip({ "-o", "link", "show", "gprs0" }).section('<', 1).section('>', 0, 0).split(',').contains("UP");
}

#endif // IPTOOL_H
