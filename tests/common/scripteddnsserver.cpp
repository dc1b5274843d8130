#include "scripteddnsserver.h"

#include <QHostAddress>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool ScriptedDnsServer::start(const QString &address, Script script, bool tcp)
{
    stop();
    m_script = std::move(script);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(QHostAddress(address).toIPv4Address());
    const int on = 1;
    for (int i = 0; i < (tcp ? 2 : 1); ++i) {
        m_fds[i] = ::socket(AF_INET, (i ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        if (m_fds[i] < 0 || ::setsockopt(m_fds[i], SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || ::bind(m_fds[i], reinterpret_cast<sockaddr *>(&at), sizeof at) != 0
            || (i == 1 && ::listen(m_fds[i], 8) != 0)) {
            qWarning("scripted DNS server on %s: %s", qPrintable(address), std::strerror(errno));
            stop();
            return false;
        }
    }
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void ScriptedDnsServer::stop()
{
    m_stopping = true;
    for (const int fd : m_fds) {
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR); // wakes the thread's poll()
    }
    if (m_thread.joinable())
        m_thread.join();
    for (int &fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void ScriptedDnsServer::run()
{
    pollfd fds[2] = { { m_fds[0], POLLIN, 0 }, { m_fds[1], POLLIN, 0 } };
    while ((::poll(fds, 2, -1) >= 0 || errno == EINTR) && !m_stopping) {
        if (fds[0].revents & POLLIN) {
            char buffer[65536];
            sockaddr_in from {};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(
                m_fds[0], buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
            const QByteArray answer = n > 0 ? m_script(QByteArray(buffer, int(n)), false) : QByteArray();
            if (!answer.isEmpty())
                ::sendto(m_fds[0], answer.constData(), size_t(answer.size()), 0,
                    reinterpret_cast<sockaddr *>(&from), length);
        }
        if (fds[1].revents & POLLIN)
            serveTcp();
    }
}

// One query per connection, length-prefixed both ways.
void ScriptedDnsServer::serveTcp()
{
    const int fd = ::accept4(m_fds[1], nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const timeval limit { 2, 0 }; // a client that connects and says nothing
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    quint8 size[2];
    if (::recv(fd, size, 2, MSG_WAITALL) == 2) {
        QByteArray query(size[0] << 8 | size[1], Qt::Uninitialized);
        if (::recv(fd, query.data(), size_t(query.size()), MSG_WAITALL) == query.size()) {
            const QByteArray answer = m_script(query, true);
            const QByteArray framed = QByteArray(1, char(answer.size() >> 8)) + char(answer.size()) + answer;
            ::send(fd, framed.constData(), size_t(framed.size()), MSG_NOSIGNAL);
        }
    }
    ::close(fd);
}
