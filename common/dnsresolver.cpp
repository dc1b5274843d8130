#include "dnsresolver_p.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QUrl>

#include <ares.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

#include "tarnexdebug_p.h"

namespace {

// Each server is asked twice (a lost datagram on a radio link is the common
// failure), and c-ares doubles the wait in the second round: N servers take
// at most 3 * N * first-round wait. The first-round wait is cut to fit the
// whole bound, so every server gets both its tries before the deadline.
// Above 3 s an answer on a live bearer is lost rather than late; below
// 100 ms not even a good link answers.
constexpr int Tries = 2;
constexpr int MaxTryTimeout = 3000;
constexpr int MinTryTimeout = 100;
// Once the A answer is in, how long to wait for the AAAA answer (the
// resolution delay of RFC 8305): some operator DNS proxies never answer
// AAAA, and an MMS bearer rarely has IPv6 to use it.
constexpr int AaaaGrace = 50;

int tryTimeout(int total, int servers)
{
    return qBound(MinTryTimeout, total / (3 * qMax(1, servers)), MaxTryTimeout);
}

// The name as it goes on the wire, or empty when no query can carry it.
QByteArray wireName(const QString &hostName)
{
    QString name = hostName;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    const QByteArray ace = QUrl::toAce(name);
    if (ace.isEmpty() || ace.size() > 253)
        return QByteArray();
    for (const QByteArray &label : ace.split('.')) {
        if (label.isEmpty() || label.size() > 63)
            return QByteArray();
        for (const char c : label) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                || c == '-' || c == '_';
            if (!ok)
                return QByteArray();
        }
    }
    return ace;
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535 || text.startsWith(QLatin1Char('+')))
        return false;
    *port = quint16(value);
    return true;
}

} // namespace

// One look-up on a c-ares channel of its own: an A and an AAAA query side by
// side, each through the servers in order.
class DnsQuery
{
public:
    using SocketWatch = std::function<void(int fd, bool readable, bool writable)>;
    enum State { Running, HaveIPv4, Done };

    DnsQuery(const QList<DnsResolver::Server> &servers, const QString &interfaceName, int timeout,
        SocketWatch watch)
        : m_servers(servers)
        , m_device(interfaceName.toLocal8Bit())
        , m_timeout(timeout)
        , m_watch(std::move(watch))
    {
        m_v4.family = AF_INET;
        m_v6.family = AF_INET6;
    }

    ~DnsQuery()
    {
        // Pending queries end with ARES_EDESTRUCTION here; answered() only records it.
        if (m_channel)
            ares_destroy(m_channel);
    }

    bool start(const QByteArray &name)
    {
        ares_options options;
        std::memset(&options, 0, sizeof options);
        int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_NDOTS | ARES_OPT_DOMAINS
            | ARES_OPT_LOOKUPS | ARES_OPT_SORTLIST | ARES_OPT_NOROTATE;
        // Nothing from resolv.conf, the environment or /etc/hosts: the name
        // goes as it is to these servers only, first server first.
        options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES;
        options.timeout = tryTimeout(m_timeout, m_servers.size());
        options.tries = Tries;
        options.ndots = 1;
        options.ndomains = 0;
        char lookups[] = "b";
        options.lookups = lookups;
        options.nsort = 0;
        if (m_watch) {
            mask |= ARES_OPT_SOCK_STATE_CB;
            options.sock_state_cb = &DnsQuery::socketState;
            options.sock_state_cb_data = this;
        }
        int status = ares_init_options(&m_channel, &options, mask);
        if (status != ARES_SUCCESS) {
            m_channel = nullptr;
            m_failure = QString::fromLatin1(ares_strerror(status));
            return false;
        }

        std::vector<ares_addr_port_node> nodes(size_t(m_servers.size()));
        for (size_t i = 0; i < nodes.size(); ++i) {
            const DnsResolver::Server &server = m_servers.at(int(i));
            ares_addr_port_node &node = nodes[i];
            std::memset(&node, 0, sizeof node);
            node.next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
            node.udp_port = node.tcp_port = server.port;
            if (server.address.protocol() == QAbstractSocket::IPv4Protocol) {
                node.family = AF_INET;
                node.addr.addr4.s_addr = htonl(server.address.toIPv4Address());
            } else {
                node.family = AF_INET6;
                const Q_IPV6ADDR v6 = server.address.toIPv6Address();
                std::memcpy(node.addr.addr6._S6_un._S6_u8, v6.c, sizeof v6.c);
            }
        }
        status = ares_set_servers_ports(m_channel, nodes.empty() ? nullptr : nodes.data());
        if (status != ARES_SUCCESS) {
            m_failure = QString::fromLatin1(ares_strerror(status));
            return false;
        }

        if (!m_device.isEmpty()) {
            ares_set_local_dev(m_channel, m_device.constData());
            ares_set_socket_configure_callback(m_channel, &DnsQuery::configureSocket, this);
        }

        ares_addrinfo_hints hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_flags = ARES_AI_NOSORT; // the order is ours (see addresses())
        for (Family *family : { &m_v4, &m_v6 }) {
            hints.ai_family = family->family;
            family->pending = true;
            ares_getaddrinfo(m_channel, name.constData(), nullptr, &hints, &DnsQuery::answered, family);
        }
        return true;
    }

    void process(int readFd, int writeFd) { ares_process_fd(m_channel, readFd, writeFd); }

    // Milliseconds until c-ares wants process() for a timeout; -1 for none.
    int msecsToTimeout() const
    {
        timeval tv;
        const timeval *next = ares_timeout(m_channel, nullptr, &tv);
        if (!next)
            return -1;
        // Rounded up: a timer that fires early makes c-ares do nothing.
        return int(qMin<qint64>(qint64(next->tv_sec) * 1000 + (next->tv_usec + 999) / 1000, INT_MAX));
    }

    State state() const
    {
        if (!m_v4.pending && !m_v6.pending)
            return Done;
        if (!m_v4.pending && !m_v4.addresses.isEmpty())
            return HaveIPv4;
        return Running;
    }

    QList<QHostAddress> addresses() const
    {
        QList<QHostAddress> all = m_v4.addresses + m_v6.addresses;
        return all.mid(0, DnsResolver::MaxAddresses);
    }

    QString failure() const
    {
        if (!m_failure.isEmpty())
            return m_failure;
        // The A query's reason, unless it only learnt that the name has no IPv4 address.
        const int status = (m_v4.status == ARES_ENODATA || m_v4.pending) ? m_v6.status : m_v4.status;
        return QString::fromLatin1(ares_strerror(status));
    }

    // The sockets c-ares waits on, for a poll() of the blocking form.
    int pollSet(pollfd *fds, int size) const
    {
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(m_channel, sockets, ARES_GETSOCK_MAXNUM);
        int n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM && n < size; ++i) {
            const bool readable = ARES_GETSOCK_READABLE(bits, i);
            const bool writable = ARES_GETSOCK_WRITABLE(bits, i);
            if (!readable && !writable)
                break;
            fds[n].fd = sockets[i];
            fds[n].events = short((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
            fds[n].revents = 0;
            ++n;
        }
        return n;
    }

private:
    struct Family
    {
        int family = AF_UNSPEC;
        bool pending = false;
        int status = ARES_SUCCESS;
        QList<QHostAddress> addresses;
    };

    static void answered(void *arg, int status, int, ares_addrinfo *result)
    {
        Family *family = static_cast<Family *>(arg);
        family->pending = false;
        family->status = status;
        if (status == ARES_SUCCESS && result) {
            for (const ares_addrinfo_node *node = result->nodes; node; node = node->ai_next) {
                if (node->ai_family != family->family || !node->ai_addr)
                    continue;
                QHostAddress address(node->ai_addr);
                if (!address.isNull() && !family->addresses.contains(address))
                    family->addresses << address;
                if (family->addresses.size() >= DnsResolver::MaxAddresses)
                    break;
            }
        }
        if (result)
            ares_freeaddrinfo(result);
    }

    static void socketState(void *data, ares_socket_t fd, int readable, int writable)
    {
        static_cast<DnsQuery *>(data)->m_watch(fd, readable != 0, writable != 0);
    }

    // c-ares ignores a failed SO_BINDTODEVICE and would send the query out
    // through the default route: a socket not bound to our interface is
    // refused, and the server counts as unreachable.
    static int configureSocket(ares_socket_t fd, int, void *data)
    {
        DnsQuery *query = static_cast<DnsQuery *>(data);
        char bound[IFNAMSIZ + 1] = {};
        socklen_t length = sizeof bound - 1;
        if (getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, bound, &length) == 0
            && query->m_device == QByteArray(bound))
            return 0;
        if (!query->m_bindFailed) {
            query->m_bindFailed = true;
            const int result = setsockopt(
                fd, SOL_SOCKET, SO_BINDTODEVICE, query->m_device.constData(), query->m_device.size());
            const int error = errno;
            qWarning() << "[LIBTARNEX] DNS query not sent: its socket cannot be bound to"
                       << QString::fromLocal8Bit(query->m_device)
                       << (result == 0 ? "(name too long)" : std::strerror(error));
        }
        return -1;
    }

    QList<DnsResolver::Server> m_servers;
    QByteArray m_device;
    int m_timeout;
    SocketWatch m_watch;
    ares_channel m_channel = nullptr;
    Family m_v4;
    Family m_v6;
    QString m_failure;
    bool m_bindFailed = false;
};

DnsResolver::DnsResolver(QObject *parent)
    : QObject(parent)
{
    static const int initialised = [] {
        qRegisterMetaType<DnsResolver::Error>();
        qRegisterMetaType<QList<QHostAddress>>();
        return ares_library_init(ARES_LIB_INIT_ALL);
    }();
    if (initialised != ARES_SUCCESS)
        qWarning() << "[LIBTARNEX] c-ares did not initialise:" << ares_strerror(initialised);

    m_aresTimer.setSingleShot(true);
    m_deadline.setSingleShot(true);
    m_grace.setSingleShot(true);
    connect(&m_aresTimer, &QTimer::timeout, this, [this] { process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); });
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        // One family may have answered while the other is still being retried.
        const QList<QHostAddress> addresses = m_query->addresses();
        if (addresses.isEmpty())
            m_errorString = QStringLiteral("no answer within %1 ms").arg(m_timeout);
        finish(addresses.isEmpty() ? HostNotFound : NoError, addresses);
    });
    connect(&m_grace, &QTimer::timeout, this, [this] { finish(NoError, m_query->addresses()); });
}

DnsResolver::~DnsResolver()
{
    // Without a signal: the owner that would receive it is going too.
    stopQuery();
}

void DnsResolver::setServers(const QStringList &servers)
{
    m_servers.clear();
    for (const QString &entry : servers) {
        const QString text = entry.trimmed();
        if (text.isEmpty()) {
            TARNEX_DEBUG << "D: [LIBTARNEX] Empty DNS server entry skipped";
            continue;
        }
        QString host = text;
        quint16 port = 53;
        bool ok = true;
        if (text.startsWith(QLatin1Char('['))) {
            const int close = text.indexOf(QLatin1Char(']'));
            const QString rest = close < 0 ? QString() : text.mid(close + 1);
            host = text.mid(1, close - 1);
            ok = close > 0 && host.contains(QLatin1Char(':'))
                && (rest.isEmpty() || (rest.startsWith(QLatin1Char(':')) && parsePort(rest.mid(1), &port)));
        } else if (text.count(QLatin1Char(':')) == 1) {
            host = text.section(QLatin1Char(':'), 0, 0);
            ok = parsePort(text.section(QLatin1Char(':'), 1), &port);
        }
        QHostAddress address;
        if (!ok || !address.setAddress(host) || !address.scopeId().isEmpty()) {
            qWarning() << "[LIBTARNEX] DNS server entry ignored, not an address with an optional port:"
                       << entry;
            continue;
        }
        if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6) {
            // A context without a second DNS server often reports it as 0.0.0.0.
            TARNEX_DEBUG << "D: [LIBTARNEX] Unspecified DNS server" << entry << "skipped";
            continue;
        }
        m_servers << Server { address, port };
    }
}

QStringList DnsResolver::servers() const
{
    QStringList out;
    for (const Server &server : m_servers) {
        const QString address = server.address.toString();
        if (server.port == 53)
            out << address;
        else if (server.address.protocol() == QAbstractSocket::IPv6Protocol)
            out << QStringLiteral("[%1]:%2").arg(address).arg(server.port);
        else
            out << QStringLiteral("%1:%2").arg(address).arg(server.port);
    }
    return out;
}

void DnsResolver::setInterfaceName(const QString &name)
{
    m_interface = name;
}

void DnsResolver::setTimeout(int msecs)
{
    m_timeout = msecs > 0 ? msecs : DefaultTimeout;
}

bool DnsResolver::prepare(const QString &hostName, QByteArray *aceName, QList<QHostAddress> *literal)
{
    m_errorString.clear();
    QString bare = hostName;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    QHostAddress address;
    if (address.setAddress(bare)) {
        *literal = { address };
        return true;
    }
    *aceName = wireName(hostName);
    if (aceName->isEmpty()) {
        m_errorString = QStringLiteral("not a valid host name");
        return false;
    }
    if (m_servers.isEmpty()) {
        m_errorString = QStringLiteral("no DNS server to ask");
        return false;
    }
    TARNEX_DEBUG << "D: [LIBTARNEX] DNS look-up of" << hostName << "through" << servers()
                 << (m_interface.isEmpty() ? QString() : QStringLiteral("on ") + m_interface);
    return true;
}

std::unique_ptr<DnsQuery> DnsResolver::newQuery(bool watched)
{
    DnsQuery::SocketWatch watch;
    if (watched)
        watch = [this](int fd, bool readable, bool writable) { watchSocket(fd, readable, writable); };
    return std::make_unique<DnsQuery>(m_servers, m_interface, m_timeout, std::move(watch));
}

void DnsResolver::lookup(const QString &hostName)
{
    if (m_running)
        abort();
    m_running = true;
    m_hostName = hostName;
    QByteArray aceName;
    QList<QHostAddress> literal;
    if (!prepare(hostName, &aceName, &literal)) {
        finishLater(HostNotFound, QList<QHostAddress>());
        return;
    }
    if (!literal.isEmpty()) {
        finishLater(NoError, literal);
        return;
    }
    m_query = newQuery(true);
    if (!m_query->start(aceName)) {
        m_errorString = m_query->failure();
        stopQuery();
        finishLater(HostNotFound, QList<QHostAddress>());
        return;
    }
    m_deadline.start(m_timeout);
    // The first look at the query's state comes from the event loop: c-ares
    // may already have ended it inside start(), and finished() must not come
    // from inside lookup().
    m_aresTimer.start(0);
}

void DnsResolver::abort()
{
    if (!m_running)
        return;
    m_errorString = QStringLiteral("aborted");
    finish(Aborted, QList<QHostAddress>());
}

QList<QHostAddress> DnsResolver::lookupBlocking(const QString &hostName, Error *error)
{
    if (error)
        *error = HostNotFound;
    QByteArray aceName;
    QList<QHostAddress> literal;
    if (!prepare(hostName, &aceName, &literal))
        return QList<QHostAddress>();
    if (!literal.isEmpty()) {
        if (error)
            *error = NoError;
        return literal;
    }

    const QDeadlineTimer deadline(m_timeout);
    QDeadlineTimer grace(QDeadlineTimer::Forever);
    std::unique_ptr<DnsQuery> query = newQuery(false);
    if (!query->start(aceName)) {
        m_errorString = query->failure();
        return QList<QHostAddress>();
    }
    bool timedOut = false;
    QString pollError;
    for (;;) {
        const DnsQuery::State state = query->state();
        if (state == DnsQuery::Done || grace.hasExpired())
            break;
        if (deadline.hasExpired()) {
            timedOut = true;
            break;
        }
        if (state == DnsQuery::HaveIPv4 && grace.isForever())
            grace.setRemainingTime(AaaaGrace);
        qint64 wait = deadline.remainingTime();
        if (!grace.isForever())
            wait = qMin(wait, grace.remainingTime());
        const int aresWait = query->msecsToTimeout();
        if (aresWait >= 0)
            wait = qMin<qint64>(wait, aresWait);
        pollfd fds[ARES_GETSOCK_MAXNUM];
        const int count = query->pollSet(fds, ARES_GETSOCK_MAXNUM);
        const int ready = ::poll(fds, nfds_t(count), int(wait));
        if (ready < 0 && errno != EINTR) {
            pollError = QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        if (ready <= 0) {
            query->process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const bool readable = fds[i].revents & (POLLIN | POLLERR | POLLHUP);
            const bool writable = fds[i].revents & (POLLOUT | POLLERR | POLLHUP);
            if (readable || writable)
                query->process(
                    readable ? fds[i].fd : ARES_SOCKET_BAD, writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
    }
    const QList<QHostAddress> addresses = query->addresses();
    if (addresses.isEmpty()) {
        m_errorString = timedOut  ? QStringLiteral("no answer within %1 ms").arg(m_timeout)
            : pollError.isEmpty() ? query->failure()
                                  : QStringLiteral("poll: ") + pollError;
        TARNEX_DEBUG << "D: [LIBTARNEX] DNS look-up of" << hostName << "failed:" << m_errorString;
        return addresses;
    }
    TARNEX_DEBUG << "D: [LIBTARNEX] DNS look-up of" << hostName << "gave" << addresses;
    if (error)
        *error = NoError;
    return addresses;
}

void DnsResolver::watchSocket(int fd, bool readable, bool writable)
{
    const auto drop = [](QSocketNotifier *notifier) {
        // c-ares closes the socket right after this: the notifier must let
        // go of it now, and may be the one whose signal is running.
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    };
    if (!readable && !writable) {
        const Watch watch = m_watches.take(fd);
        drop(watch.read);
        drop(watch.write);
        return;
    }
    Watch &watch = m_watches[fd];
    if (readable && !watch.read) {
        watch.read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(watch.read, &QSocketNotifier::activated, this, [this, fd] { process(fd, ARES_SOCKET_BAD); });
    }
    if (writable && !watch.write) {
        watch.write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(watch.write, &QSocketNotifier::activated, this, [this, fd] { process(ARES_SOCKET_BAD, fd); });
    }
    if (watch.read)
        watch.read->setEnabled(readable);
    if (watch.write)
        watch.write->setEnabled(writable);
}

void DnsResolver::process(int readFd, int writeFd)
{
    if (!m_query)
        return;
    m_query->process(readFd, writeFd);
    afterProcessing();
}

void DnsResolver::afterProcessing()
{
    switch (m_query->state()) {
    case DnsQuery::Done: {
        const QList<QHostAddress> addresses = m_query->addresses();
        if (addresses.isEmpty()) {
            m_errorString = m_query->failure();
            finish(HostNotFound, addresses);
        } else {
            finish(NoError, addresses);
        }
        return;
    }
    case DnsQuery::HaveIPv4:
        if (!m_grace.isActive())
            m_grace.start(AaaaGrace);
        break;
    case DnsQuery::Running:
        break;
    }
    const int wait = m_query->msecsToTimeout();
    if (wait >= 0)
        m_aresTimer.start(wait);
    else
        m_aresTimer.stop();
}

void DnsResolver::finishLater(Error error, const QList<QHostAddress> &addresses)
{
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, error, addresses] {
            if (generation == m_generation && m_running)
                finish(error, addresses);
        },
        Qt::QueuedConnection);
}

void DnsResolver::finish(Error error, const QList<QHostAddress> &addresses)
{
    stopQuery();
    m_running = false;
    ++m_generation;
    if (error == NoError)
        TARNEX_DEBUG << "D: [LIBTARNEX] DNS look-up of" << m_hostName << "gave" << addresses;
    else
        TARNEX_DEBUG << "D: [LIBTARNEX] DNS look-up of" << m_hostName << "failed:" << m_errorString;
    // Last: a receiver may delete this resolver or start the next look-up.
    emit finished(error, addresses);
}

void DnsResolver::stopQuery()
{
    m_aresTimer.stop();
    m_deadline.stop();
    m_grace.stop();
    // Closing the channel reports its sockets closed, which drops their notifiers.
    m_query.reset();
    for (const Watch &watch : qAsConst(m_watches)) {
        for (QSocketNotifier *notifier : { watch.read, watch.write }) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
    }
    m_watches.clear();
}

void stopHostLookup(int &lookupId, DnsResolver *&resolver, QObject *receiver)
{
    if (lookupId >= 0) {
        QHostInfo::abortHostLookup(lookupId);
        lookupId = -1;
    }
    if (DnsResolver *r = resolver) {
        resolver = nullptr;
        r->disconnect(receiver);
        r->abort();
        r->deleteLater();
    }
}

bool bindSocketToInterface(int fd, const QString &interfaceName, QString *problem)
{
    const QByteArray device = interfaceName.toLocal8Bit();
    if (device.size() >= IFNAMSIZ) {
        *problem = QStringLiteral("interface name too long");
        return false;
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(), socklen_t(device.size())) != 0) {
        *problem = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    char bound[IFNAMSIZ + 1] = {};
    socklen_t length = IFNAMSIZ;
    if (::getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, bound, &length) != 0 || device != QByteArray(bound)) {
        *problem = QStringLiteral("the binding did not take");
        return false;
    }
    return true;
}
