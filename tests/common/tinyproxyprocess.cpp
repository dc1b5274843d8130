#include "tinyproxyprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>

bool TinyproxyProcess::start()
{
    m_process.setProgram(QStringLiteral("/usr/bin/tinyproxy"));
    if (!QFileInfo(m_process.program()).isExecutable()) {
        m_error = m_process.program() + QStringLiteral(" is not installed (package tinyproxy-bin)");
        return false;
    }
    // A port free when probed may be taken before tinyproxy binds it; another is then tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            continue;
        m_port = probe.serverPort();
        probe.close();
        QFile config(m_dir.filePath(QStringLiteral("tinyproxy.conf")));
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_error = config.errorString();
            return false;
        }
        // No ConnectPort lines: any destination port is allowed. Log level Info
        // gives the readiness line.
        config.write("Port " + QByteArray::number(m_port)
            + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 200\nAllow 127.0.0.1\nLogLevel Info\n");
        config.close();
        m_process.setArguments({ QStringLiteral("-d"), QStringLiteral("-c"), config.fileName() });
        if (startAndWait(QStringLiteral("tinyproxy"), QStringLiteral("Accepting connections.")))
            return true;
    }
    return false;
}
