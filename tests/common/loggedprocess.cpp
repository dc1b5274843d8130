#include "loggedprocess.h"

#include <QDeadlineTimer>

void LoggedProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool LoggedProcess::startAndWait(const QString &name, const QString &readyLine)
{
    m_log.clear();
    m_process.start();
    if (waitForLine(readyLine, 15000))
        return true;
    m_error = name + QStringLiteral(" did not start: ") + m_process.errorString() + QLatin1Char('\n')
        + m_log.join(QLatin1Char('\n'));
    stop();
    return false;
}

QStringList LoggedProcess::pickLines(const QString &marker, const QString &from)
{
    while (m_process.canReadLine())
        m_log << QString::fromLocal8Bit(m_process.readLine()).trimmed();
    QStringList out;
    for (const QString &line : qAsConst(m_log)) {
        const int at = line.indexOf(marker);
        const int start = at < 0 ? -1 : line.indexOf(from, at);
        if (start >= 0)
            out << line.mid(start + from.size());
    }
    return out;
}

bool LoggedProcess::waitForLine(const QString &needle, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        // With an empty marker every line is picked.
        for (const QString &line : pickLines(QString(), QString()))
            if (line.contains(needle))
                return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}
