#include "nmrelayconnection_p.h"

#include <QDebug>
#include <QHostInfo>
#include <QNetworkReply>
#include <QSocketNotifier>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One read at a time per direction. Large enough that a fast transfer costs
// few system calls, small enough for several connections per transfer.
const int Piece = 128 * 1024;
// The manager's own request heads are small; anything longer is not one.
const int MaxRequestHead = 64 * 1024;
const int MaxHandshake = 600;
const int WouldBlock = -2;

// SOCKS5 replies (RFC 1928), chosen so the manager reports what it would
// have reported connecting by itself.
const quint8 SocksSucceeded = 0x00;
const quint8 SocksNetworkUnreachable = 0x03;
const quint8 SocksHostUnreachable = 0x04; // Qt: host not found
const quint8 SocksConnectionRefused = 0x05;
const quint8 SocksCommandNotSupported = 0x07;
const quint8 SocksAddressTypeNotSupported = 0x08;

bool isField(const char *line, int length, const char *name)
{
    const int n = int(qstrlen(name));
    return length > n && line[n] == ':' && qstrnicmp(line, name, n) == 0;
}

void setNoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

NmRelayConnection::NmRelayConnection(
    NmRelay *relay, int client, const QString &proxyHost, quint16 proxyPort, const NmRelay::Bearer &bearer)
    : QObject(relay)
    , m_relay(relay)
    , m_socks(proxyHost.isEmpty())
    , m_bearer(bearer)
    , m_phase(m_socks ? Greeting : Connecting)
    , m_parser(this)
{
    fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    setNoDelay(client);
    m_client.fd = client;
    m_client.readable = new QSocketNotifier(client, QSocketNotifier::Read, this);
    m_client.writable = new QSocketNotifier(client, QSocketNotifier::Write, this);
    connect(m_client.readable, &QSocketNotifier::activated, this, &NmRelayConnection::clientReadable);
    connect(m_client.writable, &QSocketNotifier::activated, this, &NmRelayConnection::clientWritable);
    m_client.buffer.reserve(Piece);
    m_upstream.buffer.reserve(Piece);

    if (!m_socks) {
        m_kind = Http;
        m_port = proxyPort;
        lookUp(proxyHost);
    }
    update();
}

NmRelayConnection::~NmRelayConnection()
{
    stopLookup();
    closeSide(m_client);
    closeSide(m_upstream);
}

// Reads what `source` has into its buffer: the number of bytes, 0 at its
// end, -1 on an error, WouldBlock when nothing is there yet.
qint64 NmRelayConnection::receive(Flow &source)
{
    source.buffer.resize(Piece);
    ssize_t n;
    do
        n = ::recv(source.fd, source.buffer.data(), Piece, 0);
    while (n < 0 && errno == EINTR);
    source.buffer.resize(n > 0 ? int(n) : 0);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? WouldBlock : -1;
    if (n > 0)
        m_relay->noteMove(m_tag);
    return n;
}

// Writes what waits for `target`; false on an error.
bool NmRelayConnection::flush(Flow &target)
{
    while (target.pending()) {
        const ssize_t n = ::send(
            target.fd, target.out.constData() + target.from, size_t(target.to - target.from), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        target.from += int(n);
        if (&target == &m_upstream)
            m_upstreamHanded += n;
        m_relay->noteMove(m_tag);
    }
    target.out.clear(); // the read buffer it may share is free again
    target.from = target.to = 0;
    return true;
}

// Each side is read only when what came from it before has gone on.
void NmRelayConnection::update()
{
    if (m_closed)
        return;
    if (m_closeWhenFlushed && !m_client.pending()) {
        close();
        return;
    }
    bool readClient = !m_closeWhenFlushed;
    if (m_phase == Connecting) // through a proxy the request waits in the socket meanwhile
        readClient = readClient && m_socks;
    else if (m_phase == Relaying)
        readClient = readClient && !m_upstream.pending();
    m_client.readable->setEnabled(readClient);
    m_client.writable->setEnabled(m_client.pending());
    if (m_upstream.fd >= 0) {
        // Nothing from the network is passed on before the client has
        // spoken, so no answer slips through ahead of its request unchecked.
        m_upstream.readable->setEnabled(
            m_phase == Relaying && m_kind != Unknown && !m_upstreamEnded && !m_client.pending());
        m_upstream.writable->setEnabled(m_phase == Connecting || m_upstream.pending());
    }
}

void NmRelayConnection::clientReadable()
{
    const qint64 n = receive(m_client);
    if (n == WouldBlock)
        return;
    if (n <= 0) {
        close();
        return;
    }
    const QByteArray &data = m_client.buffer;
    switch (m_phase) {
    case Greeting:
    case SocksRequest:
        handshake(data);
        break;
    case ConnectFailed:
        scanRequests(data);
        if (!m_closed && m_tag != 0)
            connectFailed();
        break;
    case Connecting:
        close(); // the manager waits for the SOCKS reply before it sends
        return;
    case Stopped:
        break; // dropped
    case Relaying: {
        if (m_kind == Unknown)
            m_kind = data.at(0) == 0x16 ? Tunnel : Http; // a TLS hand-shake record, or a request line
        const QByteArray out = m_kind == Http ? scanRequests(data) : data;
        if (m_phase != Relaying)
            return;
        m_upstream.out = out;
        m_upstream.from = 0;
        m_upstream.to = out.size();
        m_relay->countTraffic(m_tag, 0, out.size());
        if (!flush(m_upstream)) {
            close();
            return;
        }
        break;
    }
    }
    update();
}

void NmRelayConnection::upstreamReadable()
{
    const qint64 n = receive(m_upstream);
    if (n == WouldBlock)
        return;
    if (n <= 0) {
        // The network closed: the manager sees the same end (and reports a
        // cut-off answer as it would without the relay).
        m_upstreamEnded = true;
        m_closeWhenFlushed = true;
        update();
        return;
    }
    m_relay->countTraffic(m_tag, n, 0);
    const qint64 pass = m_kind == Http ? checkAnswer(m_upstream.buffer) : n;
    if (pass < 0)
        return;
    if (pass < n) {
        // Bytes nobody asked for: the connection is no longer in step with
        // the manager's requests. It gets the answer it asked for, then the
        // end of the connection.
        m_upstreamEnded = true;
        m_closeWhenFlushed = true;
    }
    m_client.out = m_upstream.buffer;
    m_client.from = 0;
    m_client.to = int(pass);
    if (!flush(m_client)) {
        close();
        return;
    }
    update();
}

void NmRelayConnection::clientWritable()
{
    if (!flush(m_client)) {
        close();
        return;
    }
    update();
}

void NmRelayConnection::upstreamWritable()
{
    if (m_phase == Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(m_upstream.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == EINPROGRESS || error == EALREADY)
            return;
        if (error != 0) {
            m_connectError = error == ECONNREFUSED ? Refused : Unreachable;
            connectNext();
        } else {
            connected();
        }
        return;
    }
    if (!flush(m_upstream)) {
        close();
        return;
    }
    update();
}

void NmRelayConnection::handshake(const QByteArray &data)
{
    m_handshake += data;
    if (m_handshake.size() >= MaxHandshake || m_handshake.at(0) != 0x05) {
        close();
        return;
    }
    const auto byte = [this](int i) { return quint8(m_handshake.at(i)); };
    if (m_phase == Greeting) {
        if (m_handshake.size() < 2 || m_handshake.size() < 2 + byte(1))
            return;
        const bool noAuthentication = m_handshake.mid(2, byte(1)).contains('\0');
        m_handshake.remove(0, 2 + byte(1));
        m_client.out = noAuthentication ? QByteArray("\x05\x00", 2) : QByteArray("\x05\xff", 2);
        m_client.from = 0;
        m_client.to = 2;
        if (!flush(m_client) || !noAuthentication) {
            m_phase = Stopped;
            m_closeWhenFlushed = true;
            return;
        }
        m_phase = SocksRequest;
        if (m_handshake.isEmpty())
            return;
    }

    if (m_handshake.size() < 5)
        return;
    int length;
    switch (byte(3)) {
    case 0x01:
        length = 4 + 4 + 2;
        break;
    case 0x03:
        length = 4 + 1 + byte(4) + 2;
        break;
    case 0x04:
        length = 4 + 16 + 2;
        break;
    default:
        socksReply(SocksAddressTypeNotSupported);
        return;
    }
    if (m_handshake.size() < length)
        return;
    // The manager waits for the reply before it sends anything more.
    if (byte(1) != 0x01 || m_handshake.size() > length) {
        socksReply(SocksCommandNotSupported);
        return;
    }
    const char *address = m_handshake.constData() + 4;
    QString host;
    if (byte(3) == 0x01)
        host = QHostAddress(qFromBigEndian<quint32>(address)).toString();
    else if (byte(3) == 0x04)
        host = QHostAddress(reinterpret_cast<const quint8 *>(address)).toString();
    else
        host = QString::fromLatin1(address + 1, byte(4));
    m_port = quint16(byte(length - 2) << 8 | byte(length - 1));
    m_handshake.clear();
    m_phase = Connecting;
    lookUp(host);
}

void NmRelayConnection::lookUp(const QString &host)
{
    m_host = host;
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        m_addresses = { literal };
        connectNext();
    } else if (host.isEmpty()) {
        m_connectError = HostNotFound;
        connectNext();
    } else if (!m_bearer.dnsServers.isEmpty()) {
        // Only these servers, over the interface; never the system resolver.
        m_resolver = new DnsResolver(this);
        m_resolver->setServers(m_bearer.dnsServers);
        m_resolver->setInterfaceName(m_bearer.interfaceName);
        m_resolver->setTimeout(m_relay->lookupTimeout());
        connect(m_resolver, &DnsResolver::finished, this, &NmRelayConnection::dnsLookedUp);
        m_resolver->lookup(host);
    } else {
        m_lookupId = QHostInfo::lookupHost(host, this, SLOT(lookedUp(QHostInfo)));
    }
}

void NmRelayConnection::lookedUp(const QHostInfo &info)
{
    m_lookupId = -1;
    if (m_closed || m_phase == Stopped)
        return;
    m_addresses = info.addresses();
    m_connectError = HostNotFound;
    connectNext();
    update();
}

void NmRelayConnection::dnsLookedUp(DnsResolver::Error error, const QList<QHostAddress> &addresses)
{
    if (sender() != m_resolver)
        return;
    const QString problem = m_resolver->errorString();
    stopLookup();
    if (error != DnsResolver::NoError || addresses.isEmpty())
        qWarning("[LIBTARNEX] %s not resolved through %s (%s), transfer ended", qUtf8Printable(m_host),
            qUtf8Printable(m_bearer.dnsServers.join(QLatin1Char(' '))), qUtf8Printable(problem));
    m_addresses = addresses;
    m_connectError = HostNotFound;
    connectNext();
    update();
}

void NmRelayConnection::stopLookup()
{
    stopHostLookup(m_lookupId, m_resolver, this);
}

// Tries the next address; at the end of the list reports the last failure.
void NmRelayConnection::connectNext()
{
    closeSide(m_upstream);
    while (!m_addresses.isEmpty()) {
        const QHostAddress address = m_addresses.takeFirst();
        sockaddr_storage to {};
        socklen_t length;
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&to);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(m_port);
            const Q_IPV6ADDR a = address.toIPv6Address();
            memcpy(&in6->sin6_addr, a.c, 16);
            in6->sin6_scope_id = address.scopeId().toUInt();
            length = sizeof(sockaddr_in6);
        } else {
            auto *in = reinterpret_cast<sockaddr_in *>(&to);
            in->sin_family = AF_INET;
            in->sin_port = htons(m_port);
            in->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof(sockaddr_in);
        }
        const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_connectError = Unreachable;
            continue;
        }
        QString problem;
        if (!m_bearer.interfaceName.isEmpty()
            && !bindSocketToInterface(fd, m_bearer.interfaceName, &problem)) {
            // Never unbound: the transfer must not leave through another interface.
            qWarning("[LIBTARNEX] Cannot bind a socket to %s (%s), transfer ended",
                qUtf8Printable(m_bearer.interfaceName), qUtf8Printable(problem));
            ::close(fd);
            m_addresses.clear();
            m_connectError = Unbound;
            break;
        }
        setNoDelay(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&to), length) != 0 && errno != EINPROGRESS) {
            m_connectError = errno == ECONNREFUSED ? Refused : Unreachable;
            ::close(fd);
            continue;
        }
        m_upstream.fd = fd;
        m_upstreamHanded = m_upstreamAcked = 0;
        m_upstream.readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        m_upstream.writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(m_upstream.readable, &QSocketNotifier::activated, this, &NmRelayConnection::upstreamReadable);
        connect(m_upstream.writable, &QSocketNotifier::activated, this, &NmRelayConnection::upstreamWritable);
        update(); // the connection's end shows as writable
        return;
    }

    if (m_socks) {
        const quint8 code = m_connectError == HostNotFound ? SocksHostUnreachable
            : m_connectError == Refused                    ? SocksConnectionRefused
                                                           : SocksNetworkUnreachable;
        socksReply(code);
    } else {
        m_phase = ConnectFailed;
        update();
    }
}

void NmRelayConnection::connected()
{
    m_relay->noteMove(m_tag);
    m_addresses.clear();
    m_phase = Relaying;
    if (m_socks)
        socksReply(SocksSucceeded);
    else
        update();
}

// The caller's proxy could not be reached. The manager is connected to the
// relay and sent its request; the relay tells the transfer what the manager
// would have reported connecting by itself.
void NmRelayConnection::connectFailed()
{
    const int code = m_connectError == HostNotFound ? QNetworkReply::HostNotFoundError
        : m_connectError == Refused                 ? QNetworkReply::ConnectionRefusedError
                                                    : QNetworkReply::UnknownNetworkError;
    m_phase = Stopped;
    if (!m_relay->reportFault(m_tag, code))
        close();
}

void NmRelayConnection::socksReply(quint8 code)
{
    QByteArray reply("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    reply[1] = char(code);
    if (code == SocksSucceeded) {
        // The address the relay connects from, as the protocol asks.
        sockaddr_storage local {};
        socklen_t length = sizeof local;
        getsockname(m_upstream.fd, reinterpret_cast<sockaddr *>(&local), &length);
        if (local.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&local);
            reply = QByteArray("\x05\x00\x00\x04", 4);
            reply.append(reinterpret_cast<const char *>(&in6->sin6_addr), 16);
            reply.append(reinterpret_cast<const char *>(&in6->sin6_port), 2);
        } else {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&local);
            reply.replace(4, 4, reinterpret_cast<const char *>(&in->sin_addr), 4);
            reply.replace(8, 2, reinterpret_cast<const char *>(&in->sin_port), 2);
        }
    }
    m_client.out = reply;
    m_client.from = 0;
    m_client.to = reply.size();
    if (!flush(m_client) || code != SocksSucceeded) {
        m_phase = Stopped;
        m_closeWhenFlushed = true;
    }
    update();
}

// Passes request bytes on: finds each request head, takes the relay's tag
// field out of it and notes the body's length. The manager always sends a
// Content-Length with a body, never a chunked one.
QByteArray NmRelayConnection::scanRequests(const QByteArray &data)
{
    if (m_requestHead.isEmpty() && m_requestBody >= data.size()) {
        m_requestBody -= data.size();
        return data;
    }
    QByteArray out;
    int pos = 0;
    while (pos < data.size()) {
        if (m_requestBody > 0) {
            const int n = int(qMin<qint64>(m_requestBody, data.size() - pos));
            out.append(data.constData() + pos, n);
            pos += n;
            m_requestBody -= n;
            continue;
        }
        const int from = qMax(0, m_requestHead.size() - 3);
        m_requestHead.append(data.constData() + pos, data.size() - pos);
        const int end = m_requestHead.indexOf("\r\n\r\n", from);
        if (end < 0) {
            if (m_requestHead.size() > MaxRequestHead)
                close();
            break;
        }
        pos = data.size() - (m_requestHead.size() - (end + 4));
        const QByteArray head = m_requestHead.left(end + 4);
        m_requestHead.clear();
        if (m_awaitingAnswer) {
            // A new request before the answer to the last one ended: the
            // manager read that answer differently. Start afresh.
            close();
            break;
        }
        out += requestHead(head);
    }
    return out;
}

QByteArray NmRelayConnection::requestHead(const QByteArray &head)
{
    const char *p = head.constData();
    m_tag = 0;
    m_requestBody = 0;
    // Fields by position: the library's own ones never leave, and Qt's
    // "User-Agent: Mozilla/5.0" goes where the library set none.
    QList<QPair<int, int>> userAgents;
    QList<QPair<int, int>> drop;
    bool noUserAgent = false;
    for (int from = head.indexOf("\r\n") + 2; from < head.size() - 2;) {
        const int to = head.indexOf("\r\n", from);
        const int length = to - from;
        if (isField(p + from, length, NmRelay::TagField)) {
            const int name = int(qstrlen(NmRelay::TagField)) + 1;
            m_tag = head.mid(from + name, length - name).trimmed().toULongLong();
            drop << qMakePair(from, length + 2);
        } else if (isField(p + from, length, NmRelay::NoUserAgentField)) {
            noUserAgent = true;
            drop << qMakePair(from, length + 2);
        } else if (isField(p + from, length, "User-Agent")) {
            userAgents << qMakePair(from, length + 2);
        } else if (isField(p + from, length, "Content-Length")) {
            m_requestBody = qMax(Q_INT64_C(0), head.mid(from + 15, length - 15).trimmed().toLongLong());
        }
        from = to + 2;
    }
    if (noUserAgent)
        drop += userAgents;
    std::sort(drop.begin(), drop.end());
    QByteArray out = head;
    for (int i = drop.size() - 1; i >= 0; --i)
        out.remove(drop[i].first, drop[i].second);
    m_awaitingAnswer = true;
    m_parser.reset(!head.startsWith("HEAD "));
    m_maxAnswer = m_relay->maxAnswer(m_tag);
    m_tooLarge = false;
    return out;
}

// How many bytes of data may go on to the manager; -1 when the answer is
// broken and the transfer has been stopped.
qint64 NmRelayConnection::checkAnswer(const QByteArray &data)
{
    qint64 pos = 0;
    while (pos < data.size() && m_awaitingAnswer) {
        const qint64 used = m_parser.feed(data.constData() + pos, data.size() - pos);
        pos += used;
        if (m_parser.hasError()) {
            stop(QNetworkReply::ProtocolFailure, m_parser.errorString());
            return -1;
        }
        if (m_tooLarge) {
            // The manager holds the whole answer: it gets nothing past the limit.
            if (m_parser.bodyKind() == HttpResponseParser::LengthBody
                && m_parser.contentLength() > m_maxAnswer)
                qWarning() << "[LIBTARNEX] Answer of" << m_parser.contentLength()
                           << "bytes is larger than the limit of" << m_maxAnswer << "bytes, transfer ended";
            else
                qWarning() << "[LIBTARNEX] Answer without a length passed the limit of" << m_maxAnswer
                           << "bytes, transfer ended";
            end(QNetworkReply::UnknownContentError);
            return -1;
        }
        if (m_parser.isComplete())
            m_awaitingAnswer = false;
        else if (used == 0)
            break;
    }
    return pos;
}

bool NmRelayConnection::headerReceived(const QHttpResponseHeader &)
{
    m_tooLarge = m_maxAnswer > 0 && m_parser.contentLength() > m_maxAnswer;
    return !m_tooLarge;
}

bool NmRelayConnection::bodyReceived(const char *, qint64)
{
    m_tooLarge = m_maxAnswer > 0 && m_parser.bodyBytes() > m_maxAnswer;
    return !m_tooLarge;
}

void NmRelayConnection::stop(int code, const QString &why)
{
    qWarning().noquote() << "[LIBTARNEX] Broken answer from" << m_host << "ended the transfer:" << why;
    end(code);
}

void NmRelayConnection::end(int code)
{
    m_phase = Stopped;
    closeSide(m_upstream);
    // The transfer ends its reply, and the manager then closes this
    // connection; its bytes are dropped until then. Closing it first would
    // make the manager send the request again.
    if (m_relay->reportFault(m_tag, code))
        update();
    else
        close();
}

void NmRelayConnection::pollAcknowledged()
{
    if (m_upstream.fd < 0 || m_upstreamAcked == m_upstreamHanded)
        return;
    int unacked = 0;
    if (::ioctl(m_upstream.fd, SIOCOUTQ, &unacked) != 0)
        return;
    const qint64 acked = m_upstreamHanded - unacked;
    if (acked > m_upstreamAcked) {
        m_upstreamAcked = acked;
        m_relay->noteMove(m_tag);
    }
}

void NmRelayConnection::halt()
{
    if (m_closed || m_phase == Stopped)
        return;
    stopLookup();
    m_addresses.clear();
    m_phase = Stopped;
    closeSide(m_upstream);
    update();
}

void NmRelayConnection::closeSide(Flow &side)
{
    delete side.readable;
    delete side.writable;
    side.readable = side.writable = nullptr;
    if (side.fd >= 0)
        ::close(side.fd);
    side.fd = -1;
}

void NmRelayConnection::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_phase = Stopped;
    stopLookup();
    closeSide(m_client);
    closeSide(m_upstream);
    deleteLater();
}
