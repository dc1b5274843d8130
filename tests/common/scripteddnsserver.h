#ifndef SCRIPTEDDNSSERVER_H
#define SCRIPTEDDNSSERVER_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

// A DNS server on port 53 that answers what a test scripts, for the answers
// no real server sends. It serves on a thread of its own, so a client may
// block the test's thread while it waits.
class ScriptedDnsServer
{
public:
    // The answer to one query (empty: none). Runs on the server's thread.
    using Script = std::function<QByteArray(const QByteArray &query, bool overTcp)>;

    ~ScriptedDnsServer() { stop(); }
    // Without `tcp`, TCP connections are refused.
    bool start(const QString &address, Script script, bool tcp = false);
    void stop();

private:
    void run();
    void serveTcp();

    Script m_script;
    int m_fds[2] = { -1, -1 }; // UDP, TCP listener
    std::atomic<bool> m_stopping { false };
    std::thread m_thread;
};

#endif // SCRIPTEDDNSSERVER_H
