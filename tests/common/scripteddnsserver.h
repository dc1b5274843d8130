#ifndef SCRIPTEDDNSSERVER_H
#define SCRIPTEDDNSSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

// A DNS server that answers what a test scripts, for the answers no real
// server sends: malformed, hostile, late or none. Serves UDP and,
// optionally, TCP on its own thread, so a client may block the test's
// thread while it waits.
class ScriptedDnsServer
{
public:
    // The bytes to send back for one query (empty: no answer). Runs on the
    // server's thread: it must not touch the test's objects.
    using Script = std::function<QByteArray(const QByteArray &query, bool overTcp)>;

    ScriptedDnsServer() = default;
    ~ScriptedDnsServer();

    // Without `tcp`, TCP connections to the port are refused.
    bool start(const QHostAddress &address, quint16 port, Script script, bool tcp = false);
    void stop();
    QString errorString() const { return m_error; }

    // Queries received so far, e.g. "A name.test", "AAAA name.test", "tcp A name.test".
    QStringList queries() const;

private:
    void run();
    void serveTcp(int listener);
    void record(const QByteArray &query, bool overTcp);

    Script m_script;
    int m_udp = -1;
    int m_tcp = -1;
    int m_wake[2] = { -1, -1 };
    std::thread m_thread;
    mutable QMutex m_mutex;
    QStringList m_queries;
    QString m_error;
};

#endif // SCRIPTEDDNSSERVER_H
