#ifndef LOGGEDPROCESS_H
#define LOGGEDPROCESS_H

#include <QProcess>
#include <QStringList>

// A server program run in the foreground for a test, its output read line by
// line; stopped (SIGTERM, then SIGKILL) when the object goes.
class LoggedProcess
{
public:
    LoggedProcess() { m_process.setProcessChannelMode(QProcess::MergedChannels); }
    virtual ~LoggedProcess() { stop(); }
    LoggedProcess(const LoggedProcess &) = delete;
    LoggedProcess &operator=(const LoggedProcess &) = delete;

    void stop();
    QString errorString() const { return m_error; }

protected:
    // Starts the process and waits for its line saying it serves.
    bool startAndWait(const QString &name, const QString &readyLine);
    // Each line with `marker` in it, from just after the first `from` at or after the marker.
    QStringList pickLines(const QString &marker, const QString &from);
    virtual QStringList picked() { return QStringList(); } // the lines a subclass is about

    QProcess m_process;
    QString m_error;

private:
    bool waitForLine(const QString &needle, int timeoutMs);

    QStringList m_log;
};

#endif // LOGGEDPROCESS_H
