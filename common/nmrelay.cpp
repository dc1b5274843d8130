#include "nmrelay_p.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "dnsresolver_p.h"
#include "nmrelayconnection_p.h"

namespace {
// Listeners kept at once (one per proxy and bearer settings); a caller does
// not switch among more, and each holds a descriptor.
const int MaxListeners = 6;

// Hands over accepted sockets as they are: the relay works on descriptors.
class Server : public QTcpServer
{
public:
    explicit Server(QObject *parent, std::function<void(int)> accepted)
        : QTcpServer(parent)
        , m_accepted(std::move(accepted))
    {
    }

protected:
    void incomingConnection(qintptr socket) override { m_accepted(int(socket)); }

private:
    std::function<void(int)> m_accepted;
};
} // namespace

const char NmRelay::TagField[] = "X-Tarnex-Relay-Tag";
const char NmRelay::NoUserAgentField[] = "X-Tarnex-Relay-No-User-Agent";

NmRelay::NmRelay(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
}

NmRelay::~NmRelay() = default;

QNetworkProxy NmRelay::route(const QString &proxyHost, quint16 proxyPort, bool ipv6, const Bearer &bearer)
{
    Listener wanted;
    wanted.proxyHost = proxyHost;
    wanted.proxyPort = proxyHost.isEmpty() ? 0 : proxyPort;
    wanted.address = proxyHost.isEmpty() && ipv6 ? QHostAddress(QHostAddress::LocalHostIPv6)
                                                 : QHostAddress(QHostAddress::LocalHost);
    wanted.bearer = bearer;
    m_dnsTimeout = bearer.dnsTimeout;
    int found = -1;
    for (int i = 0; i < m_listeners.size() && found < 0; ++i) {
        const Listener &l = m_listeners.at(i);
        if (l.proxyHost == wanted.proxyHost && l.proxyPort == wanted.proxyPort && l.address == wanted.address
            && l.bearer == wanted.bearer)
            found = i;
    }
    if (found >= 0) {
        m_listeners.move(found, 0);
    } else {
        wanted.server = new Server(this, [this, wanted](int socket) { accept(socket, wanted); });
        if (!wanted.server->listen(wanted.address, 0)) {
            qWarning() << "[LIBTARNEX] Cannot watch the transfer's connections:"
                       << wanted.server->errorString();
            delete wanted.server;
            m_routing = false;
            return QNetworkProxy(QNetworkProxy::NoProxy);
        }
        m_listeners.prepend(wanted);
        // Connections already accepted stay; only the listener goes.
        if (m_listeners.size() > MaxListeners)
            delete m_listeners.takeLast().server;
    }
    m_routing = true;
    const Listener &l = m_listeners.first();
    return QNetworkProxy(l.proxyHost.isEmpty() ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpCachingProxy,
        l.address.toString(), l.server->serverPort());
}

void NmRelay::accept(int socket, const Listener &listener)
{
    // Anyone on this host can reach a loopback port: a relay that served
    // them would be an open proxy into the MMS network.
    const int managerSocket = ownSocket(socket);
    if (managerSocket < 0) {
        qWarning() << "[LIBTARNEX] Refused a connection from another process to the transfer relay";
        ::close(socket);
        return;
    }
    // Qt's manager leaves Nagle's algorithm on: the end of every request
    // would wait for the relay's delayed acknowledgement (40 ms on Linux).
    // It is this process's own socket, and the option is what Qt's
    // LowDelayOption sets.
    int one = 1;
    setsockopt(managerSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    new NmRelayConnection(this, socket, listener.proxyHost, listener.proxyPort, listener.bearer);
}

QList<NmRelayConnection *> NmRelay::connections() const
{
    return findChildren<NmRelayConnection *>(QString(), Qt::FindDirectChildrenOnly);
}

void NmRelay::watch(quint64 tag, int timeLimit, qint64 maxAnswer)
{
    Watch &w = m_watches[tag];
    w.timeLimit = qMax(0, timeLimit);
    w.maxAnswer = qMax<qint64>(0, maxAnswer);
    w.lastMove = m_clock.elapsed();
    m_lastWatched = tag;
}

void NmRelay::unwatch(quint64 tag)
{
    m_watches.remove(tag);
}

qint64 NmRelay::idleFor(quint64 tag) const
{
    const auto w = m_watches.constFind(tag);
    return w == m_watches.constEnd() ? std::numeric_limits<qint64>::max() : m_clock.elapsed() - w->lastMove;
}

qint64 NmRelay::maxAnswer(quint64 tag) const
{
    return m_watches.value(tag).maxAnswer;
}

int NmRelay::lookupTimeout() const
{
    int timeout = m_dnsTimeout > 0 ? m_dnsTimeout : int(DnsResolver::DefaultTimeout);
    const auto w = m_watches.constFind(m_lastWatched);
    if (w != m_watches.constEnd() && w->timeLimit > 0)
        timeout = int(qBound(qint64(1), w->timeLimit - (m_clock.elapsed() - w->lastMove), qint64(timeout)));
    return timeout;
}

void NmRelay::noteMove(quint64 tag)
{
    if (m_watches.isEmpty())
        return;
    const qint64 now = m_clock.elapsed();
    if (tag != 0) {
        const auto w = m_watches.find(tag);
        if (w != m_watches.end())
            w->lastMove = now;
        return;
    }
    for (Watch &w : m_watches)
        w.lastMove = now;
}

void NmRelay::pollAcknowledged()
{
    for (NmRelayConnection *c : connections())
        c->pollAcknowledged();
}

bool NmRelay::isResolving(quint64 tag) const
{
    for (const NmRelayConnection *c : connections())
        if ((c->tag() == 0 || c->tag() == tag) && c->isResolving())
            return true;
    return false;
}

void NmRelay::halt(quint64 tag)
{
    for (NmRelayConnection *c : connections())
        if (c->tag() == 0 || c->tag() == tag)
            c->halt();
}

void NmRelay::countTraffic(quint64 tag, qint64 received, qint64 sent)
{
    m_received += received;
    m_sent += sent;
    emit traffic(tag, received, sent);
}

namespace {
bool endpoint(int fd, bool peer, QHostAddress *address, quint16 *port)
{
    sockaddr_storage a {};
    socklen_t length = sizeof a;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&a), &length)
              : getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length))
            != 0
        || (a.ss_family != AF_INET && a.ss_family != AF_INET6))
        return false;
    address->setAddress(reinterpret_cast<const sockaddr *>(&a));
    *port = ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(&a)->sin_port
                                         : reinterpret_cast<const sockaddr_in6 *>(&a)->sin6_port);
    return true;
}
} // namespace

int NmRelay::ownSocket(int socket)
{
    QHostAddress peer, local;
    quint16 peerPort, localPort;
    if (!endpoint(socket, true, &peer, &peerPort) || !endpoint(socket, false, &local, &localPort))
        return -1;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int own = -1;
    while (dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir) || fd == socket)
            continue;
        // A socket of this process bound where the peer is, whose own peer
        // is this end.
        QHostAddress address;
        quint16 port;
        if (endpoint(int(fd), false, &address, &port) && port == peerPort && address == peer
            && endpoint(int(fd), true, &address, &port) && port == localPort && address == local) {
            own = int(fd);
            break;
        }
    }
    closedir(dir);
    return own;
}
