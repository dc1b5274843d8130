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

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
};

#endif // TINYPROXYPROCESS_H
