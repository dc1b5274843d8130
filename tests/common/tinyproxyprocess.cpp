#include "tinyproxyprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>

#include <signal.h>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

const char s_ready[] = "Accepting connections.";
const char s_request[] = "Request (file descriptor ";

} // namespace

TinyproxyProcess::TinyproxyProcess()
{
    m_process.setProgram(program());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

TinyproxyProcess::~TinyproxyProcess()
{
    stop();
}

bool TinyproxyProcess::start()
{
    if (!QFileInfo(program()).isExecutable()) {
        m_error = program() + QStringLiteral(" is not installed (package tinyproxy-bin)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return false;
    }
    // The port is free when probed but may be taken before tinyproxy binds
    // it; another free port is then tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = freeLoopbackPort();
        if (port && startOnce(port))
            return true;
    }
    return false;
}

bool TinyproxyProcess::startOnce(quint16 port)
{
    const QString config = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = file.errorString();
        return false;
    }
    // No ConnectPort lines: any destination port is allowed. Log level Info
    // gives the readiness line and one line per request, which tests wait for.
    file.write(QStringLiteral("Port %1\n"
                              "Listen 127.0.0.1\n"
                              "Timeout 60\n"
                              "MaxClients 200\n"
                              "Allow 127.0.0.1\n"
                              "LogLevel Info\n")
                   .arg(port)
                   .toLatin1());
    file.close();

    m_pending.clear();
    m_log.clear();
    m_process.setArguments({ QStringLiteral("-d"), QStringLiteral("-c"), config });
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        m_error = m_process.errorString();
        return false;
    }
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        collect();
        for (const QString &line : qAsConst(m_log)) {
            if (line.contains(QLatin1String(s_ready))) {
                m_port = port;
                return true;
            }
        }
        if (m_process.state() != QProcess::Running)
            break;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    collect();
    m_error = QStringLiteral("tinyproxy did not start: ") + m_log.join(QLatin1Char('\n'));
    stop();
    return false;
}

void TinyproxyProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    const qint64 pid = m_process.processId();
    if (pid > 0)
        ::kill(pid_t(pid), SIGTERM);
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void TinyproxyProcess::collect()
{
    m_pending += m_process.readAll();
    int nl;
    while ((nl = m_pending.indexOf('\n')) >= 0) {
        m_log << QString::fromLocal8Bit(m_pending.left(nl));
        m_pending.remove(0, nl + 1);
    }
}

QStringList TinyproxyProcess::requests()
{
    collect();
    QStringList out;
    for (const QString &line : qAsConst(m_log)) {
        const int at = line.indexOf(QLatin1String(s_request));
        if (at < 0)
            continue;
        const int colon = line.indexOf(QLatin1String("): "), at);
        if (colon >= 0)
            out << line.mid(colon + 3);
    }
    return out;
}

bool TinyproxyProcess::waitForRequest(const QString &needle, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (const QString &line : requests())
            if (line.contains(needle))
                return true;
        if (deadline.hasExpired() || m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}
