#ifndef TINYPROXYPROCESS_H
#define TINYPROXYPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real forward proxy for tests: Debian's tinyproxy in the foreground on a
// free loopback port, accepting clients from 127.0.0.1 and forwarding to any
// host and port. Stopped (by its pid) when the object goes.
class TinyproxyProcess
{
public:
    TinyproxyProcess();
    ~TinyproxyProcess();

    // Starts the proxy and waits until it accepts connections.
    bool start();
    void stop();

    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }

    // Request lines the proxy has logged so far, e.g. "GET http://h:1/x HTTP/1.1".
    QStringList requests();
    // Waits until a logged request line contains `needle`.
    bool waitForRequest(const QString &needle, int timeoutMs = 10000)
    {
        return waitForLine(needle, true, timeoutMs);
    }

private:
    bool startOnce(quint16 port);
    void collect();
    bool waitForLine(const QString &needle, bool requestsOnly, int timeoutMs);

    QProcess m_process;
    QTemporaryDir m_dir;
    QByteArray m_pending;
    QStringList m_log;
    quint16 m_port = 0;
    QString m_error;
};

#endif // TINYPROXYPROCESS_H
