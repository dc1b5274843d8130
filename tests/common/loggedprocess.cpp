#include "loggedprocess.h"

#include <QDeadlineTimer>

#include <signal.h>

void LoggedProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool LoggedProcess::startAndWait(const QString &name, const QString &readyLine)
{
    m_pending.clear();
    m_log.clear();
    m_process.start();
    if (waitForLine(readyLine, false, 15000))
        return true;
    m_error = name + QStringLiteral(" did not start: ") + m_process.errorString() + QLatin1Char('\n')
        + m_log.join(QLatin1Char('\n'));
    stop();
    return false;
}

void LoggedProcess::collect()
{
    m_pending += m_process.readAll();
    int nl;
    while ((nl = m_pending.indexOf('\n')) >= 0) {
        m_log << QString::fromLocal8Bit(m_pending.left(nl));
        m_pending.remove(0, nl + 1);
    }
}

QStringList LoggedProcess::pickLines(const QString &marker, const QString &from)
{
    collect();
    QStringList out;
    for (const QString &line : qAsConst(m_log)) {
        const int at = line.indexOf(marker);
        const int start = at < 0 ? -1 : line.indexOf(from, at);
        if (start >= 0)
            out << line.mid(start + from.size());
    }
    return out;
}

bool LoggedProcess::waitForLine(const QString &needle, bool pickedOnly, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        for (const QString &line : pickedOnly ? picked() : m_log)
            if (line.contains(needle))
                return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}
