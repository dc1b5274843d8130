#ifndef NMRELAY_P_H
#define NMRELAY_P_H

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QStringList>

#include <functional>

class NmRelayConnection;
class QTcpServer;

// An in-process relay between one network access manager and the network.
// Qt's manager reads an answer head without any bound, in its own thread, and
// offers no hook into its sockets; with the relay as its proxy, every byte
// passes the library first:
// - direct transfers: the manager's proxy is a SOCKS5 listener here (the
//   host name travels to the relay, which resolves it and connects);
// - through the caller's HTTP proxy: an HTTP proxy listener here that passes
//   the manager's proxy-form requests on to that proxy.
// Plain-HTTP answers are checked as they pass (head size, framing); a broken
// one ends its request with QNetworkReply::ProtocolFailure. TLS passes
// through untouched. Only sockets of this process may connect.
//
// The relay also makes the library's limits work on the manager: it notes
// when bytes last moved for each watched request, ends answers over the
// request's size limit, and connects the way the transfer's settings ask
// (names through given DNS servers, sockets bound to an interface).
class NmRelay : public QObject
{
    Q_OBJECT

public:
    // How the relay reaches the network for a transfer. Connections made
    // with other settings are never shared: each set has listeners of its
    // own, so the manager, which keys its idle connections by proxy, never
    // takes one of them for a transfer with these.
    struct Bearer
    {
        QString interfaceName; // sockets bound to it; empty: unbound
        QStringList dnsServers; // names resolved only through these; empty: the system resolver
        int dnsTimeout; // bound of such a look-up in ms; 0: the resolver's own (not a key)
        Bearer()
            : dnsTimeout(0)
        {
        }
        bool operator==(const Bearer &o) const
        {
            return interfaceName == o.interfaceName && dnsServers == o.dnsServers;
        }
    };

    // Request field that tells the relay which request it carries; the
    // relay removes it before the request leaves. Set only on plain-HTTP
    // requests: inside TLS it could not be removed.
    static const char TagField[];
    // Request field by which the library says it set no User-Agent: the
    // relay then removes the one Qt's manager adds by itself, and this field.
    static const char NoUserAgentField[];

    explicit NmRelay(QObject *parent = nullptr);
    ~NmRelay() override;

    // The proxy for the manager: to the network directly (empty host) or
    // through the caller's proxy. NoProxy when the relay cannot listen; the
    // transfer then goes without it. The manager reaches a SOCKS proxy only
    // with the address family of the proxy's own address, so a direct
    // transfer to an IPv6 literal needs the relay on ::1.
    QNetworkProxy route(const QString &proxyHost = QString(), quint16 proxyPort = 0, bool ipv6 = false,
        const Bearer &bearer = Bearer());
    // Whether the last route() goes through the relay.
    bool isRouting() const { return m_routing; }
    quint64 nextTag() { return ++m_lastTag; }

    // Told when the relay has stopped the answer to the request `tag` with a
    // QNetworkReply::NetworkError `code`. Returns whether a transfer takes it
    // (and so ends its reply, which closes the connection); if not, the
    // relay closes the connection itself. Must not call back into the relay.
    using FaultHandler = std::function<bool(quint64 tag, int code)>;
    void setFaultHandler(const FaultHandler &handler) { m_faultHandler = handler; }
    bool reportFault(quint64 tag, int code) { return m_faultHandler && m_faultHandler(tag, code); }

    void countTraffic(quint64 tag, qint64 received, qint64 sent);
    qint64 bytesReceived() const { return m_received; }
    qint64 bytesSent() const { return m_sent; }

    // The descriptor of this process's socket that is the peer of the
    // accepted connection `socket`; -1 when there is none.
    static int ownSocket(int socket);

    // A request whose bytes are to be watched from now on: its time limit
    // (0: none) bounds the relay's name look-ups for it, and its answer body
    // is ended past maxAnswer bytes (0: no limit) with UnknownContentError.
    void watch(quint64 tag, int timeLimit, qint64 maxAnswer);
    void unwatch(quint64 tag);
    // Milliseconds since a byte last moved for the watched request `tag`, on
    // either side of the relay. Bytes of connections not yet tied to a
    // request (set-up, TLS) count for every watched one.
    qint64 idleFor(quint64 tag) const;
    qint64 maxAnswer(quint64 tag) const;
    // The bound of a look-up through given DNS servers: the last route()'s,
    // or what is left of the time limit of the request watched last when
    // that is less (a look-up cannot be tied to a request yet).
    int lookupTimeout() const;
    void noteMove(quint64 tag);
    // Notes bytes that the network has acknowledged since the last call as
    // moved: what the kernel took may leave slowly, and nothing else tells.
    void pollAcknowledged();
    // Whether a connection that may serve `tag` is still resolving a name
    // through given DNS servers.
    bool isResolving(quint64 tag) const;
    // Stops what goes on the network for `tag` (and for connections not yet
    // tied to a request): look-ups, connection attempts, the upstream
    // connections. The manager's side stays until the manager closes it, so
    // the manager never sees an end it would answer by sending again.
    void halt(quint64 tag);

Q_SIGNALS:
    // Bytes that came in from or went out to the network for request `tag`
    // (0 while it is not known: connection set-up, TLS). Emitted from inside
    // the relay's work: connect queued to do more than count.
    void traffic(quint64 tag, qint64 received, qint64 sent);

private:
    struct Listener
    {
        QString proxyHost; // empty: SOCKS5, direct
        quint16 proxyPort = 0;
        QHostAddress address; // of the listener
        Bearer bearer;
        QTcpServer *server = nullptr;
    };
    struct Watch
    {
        int timeLimit = 0;
        qint64 maxAnswer = 0;
        qint64 lastMove = 0; // on m_clock
    };

    void accept(int socket, const Listener &listener);
    QList<NmRelayConnection *> connections() const;

    QList<Listener> m_listeners; // most recently used first
    quint64 m_lastTag = 0;
    bool m_routing = false;
    FaultHandler m_faultHandler;
    qint64 m_received = 0;
    qint64 m_sent = 0;
    QElapsedTimer m_clock;
    QHash<quint64, Watch> m_watches;
    quint64 m_lastWatched = 0;
    int m_dnsTimeout = 0;
};

#endif // NMRELAY_P_H
