#include "scripteddnsserver.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int boundSocket(const QHostAddress &address, quint16 port, int type, QString *error)
{
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t length;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        std::memcpy(in6->sin6_addr.s6_addr, v6.c, 16);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    const int fd = ::socket(storage.ss_family, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0
        || (type == SOCK_STREAM && ::listen(fd, 8) != 0)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(address.toString())
                     .arg(port)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly `size` bytes unless the peer is silent for 2 s or goes.
bool readFully(int fd, char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 2000) <= 0)
            return false;
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

ScriptedDnsServer::~ScriptedDnsServer()
{
    stop();
}

bool ScriptedDnsServer::start(const QHostAddress &address, quint16 port, Script script, bool tcp)
{
    stop();
    m_script = std::move(script);
    {
        QMutexLocker lock(&m_mutex);
        m_queries.clear();
    }
    m_udp = boundSocket(address, port, SOCK_DGRAM, &m_error);
    if (m_udp < 0)
        return false;
    if (tcp && (m_tcp = boundSocket(address, port, SOCK_STREAM, &m_error)) < 0) {
        stop();
        return false;
    }
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("pipe: ") + QString::fromLocal8Bit(std::strerror(errno));
        stop();
        return false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void ScriptedDnsServer::stop()
{
    if (m_thread.joinable()) {
        const char byte = 0;
        if (::write(m_wake[1], &byte, 1) != 1)
            qFatal("cannot wake the DNS server thread");
        m_thread.join();
    }
    for (int *fd : { &m_udp, &m_tcp, &m_wake[0], &m_wake[1] }) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

QStringList ScriptedDnsServer::queries() const
{
    QMutexLocker lock(&m_mutex);
    return m_queries;
}

void ScriptedDnsServer::record(const QByteArray &query, bool overTcp)
{
    // Name and type of the first question, or the size of what did not parse.
    QByteArray name;
    int at = 12;
    while (at < query.size() && query.at(at) != 0) {
        const int length = quint8(query.at(at));
        if (length > 63 || at + 1 + length > query.size())
            break;
        name += (name.isEmpty() ? QByteArray() : QByteArray(".")) + query.mid(at + 1, length);
        at += 1 + length;
    }
    QString text;
    if (at + 3 < query.size() && query.at(at) == 0) {
        const int type = (quint8(query.at(at + 1)) << 8) | quint8(query.at(at + 2));
        const QString typeName = type == 1 ? QStringLiteral("A")
            : type == 28                   ? QStringLiteral("AAAA")
                                           : QString::number(type);
        text = typeName + QLatin1Char(' ') + QString::fromLatin1(name);
    } else {
        text = QStringLiteral("unparsed %1 bytes").arg(query.size());
    }
    QMutexLocker lock(&m_mutex);
    m_queries << (overTcp ? QStringLiteral("tcp ") : QString()) + text;
}

void ScriptedDnsServer::run()
{
    for (;;) {
        pollfd fds[3] = { { m_wake[0], POLLIN, 0 }, { m_udp, POLLIN, 0 }, { m_tcp, POLLIN, 0 } };
        const nfds_t count = m_tcp >= 0 ? 3 : 2;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            char buffer[65536];
            sockaddr_storage from;
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(
                m_udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n > 0) {
                const QByteArray query(buffer, int(n));
                record(query, false);
                const QByteArray answer = m_script(query, false);
                if (!answer.isEmpty())
                    ::sendto(m_udp, answer.constData(), size_t(answer.size()), 0,
                        reinterpret_cast<sockaddr *>(&from), fromLength);
            }
        }
        if (count == 3 && (fds[2].revents & POLLIN))
            serveTcp(m_tcp);
    }
}

void ScriptedDnsServer::serveTcp(int listener)
{
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    unsigned char prefix[2];
    if (readFully(fd, reinterpret_cast<char *>(prefix), 2)) {
        QByteArray query((prefix[0] << 8) | prefix[1], Qt::Uninitialized);
        if (readFully(fd, query.data(), size_t(query.size()))) {
            record(query, true);
            const QByteArray answer = m_script(query, true);
            if (!answer.isEmpty()) {
                const int size = qMin(answer.size(), 0xffff);
                QByteArray framed;
                framed.append(char(size >> 8)).append(char(size & 0xff)).append(answer.left(size));
                ssize_t sent = 0;
                while (sent < framed.size()) {
                    const ssize_t n = ::write(fd, framed.constData() + sent, size_t(framed.size() - sent));
                    if (n <= 0)
                        break;
                    sent += n;
                }
            }
        }
    }
    ::close(fd);
}
