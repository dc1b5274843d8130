#include "tinyproxyprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>

#include <signal.h>

TinyproxyProcess::TinyproxyProcess()
{
    m_process.setProgram(QStringLiteral("/usr/bin/tinyproxy"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

TinyproxyProcess::~TinyproxyProcess()
{
    stop();
}

bool TinyproxyProcess::start()
{
    if (!QFileInfo(m_process.program()).isExecutable()) {
        m_error = m_process.program() + QStringLiteral(" is not installed (package tinyproxy-bin)");
        return false;
    }
    // A port free when probed may be taken before tinyproxy binds it; another is then tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = probe.serverPort();
        probe.close();
        if (startOnce(port))
            return true;
    }
    return false;
}

bool TinyproxyProcess::startOnce(quint16 port)
{
    QFile config(m_dir.filePath(QStringLiteral("tinyproxy.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = config.errorString();
        return false;
    }
    // No ConnectPort lines: any destination port is allowed. Log level Info
    // gives the readiness line and one line per request, which tests wait for.
    config.write("Port " + QByteArray::number(port)
        + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 200\nAllow 127.0.0.1\nLogLevel Info\n");
    config.close();
    m_pending.clear();
    m_log.clear();
    m_process.setArguments({ QStringLiteral("-d"), QStringLiteral("-c"), config.fileName() });
    m_process.start();
    if (waitForLine(QStringLiteral("Accepting connections."), false, 15000)) {
        m_port = port;
        return true;
    }
    m_error = QStringLiteral("tinyproxy did not start: ") + m_process.errorString() + QLatin1Char('\n')
        + m_log.join(QLatin1Char('\n'));
    stop();
    return false;
}

void TinyproxyProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
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
        const int at = line.indexOf(QLatin1String("Request (file descriptor "));
        const int colon = at < 0 ? -1 : line.indexOf(QLatin1String("): "), at);
        if (colon >= 0)
            out << line.mid(colon + 3);
    }
    return out;
}

bool TinyproxyProcess::waitForLine(const QString &needle, bool requestsOnly, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        for (const QString &line : requestsOnly ? requests() : m_log)
            if (line.contains(needle))
                return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}
