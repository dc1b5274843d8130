#ifndef TINYPROXYPROCESS_H
#define TINYPROXYPROCESS_H

#include <QTemporaryDir>

#include "loggedprocess.h"

// A real forward proxy for tests: Debian's tinyproxy in the foreground on a
// free loopback port, accepting clients from 127.0.0.1 and forwarding to any
// host and port.
class TinyproxyProcess : public LoggedProcess
{
public:
    // Starts the proxy and waits until it accepts connections.
    bool start();
    quint16 port() const { return m_port; }

    // Request lines the proxy has logged so far, e.g. "GET http://h:1/x HTTP/1.1".
    QStringList requests()
    {
        return pickLines(QStringLiteral("Request (file descriptor "), QStringLiteral("): "));
    }
    // Waits until a logged request line contains `needle`.
    bool waitForRequest(const QString &needle, int timeoutMs = 10000)
    {
        return waitForPicked(needle, timeoutMs);
    }

protected:
    QStringList picked() override { return requests(); }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
};

#endif // TINYPROXYPROCESS_H
