#ifndef NMRELAY_P_H
#define NMRELAY_P_H

#include <QList>
#include <QNetworkProxy>
#include <QObject>

#include <functional>

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
class NmRelay : public QObject
{
    Q_OBJECT

public:
    // Request field that tells the relay which request it carries; the
    // relay removes it before the request leaves. Set only on plain-HTTP
    // requests: inside TLS it could not be removed.
    static const char TagField[];

    explicit NmRelay(QObject *parent = nullptr);
    ~NmRelay() override;

    // The proxy for the manager: to the network directly (empty host) or
    // through the caller's proxy. NoProxy when the relay cannot listen; the
    // transfer then goes without it. The manager reaches a SOCKS proxy only
    // with the address family of the proxy's own address, so a direct
    // transfer to an IPv6 literal needs the relay on ::1.
    QNetworkProxy route(const QString &proxyHost = QString(), quint16 proxyPort = 0, bool ipv6 = false);
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
        QTcpServer *server = nullptr;
    };

    void accept(int socket, const QString &proxyHost, quint16 proxyPort);

    QList<Listener> m_listeners; // most recently used first
    quint64 m_lastTag = 0;
    bool m_routing = false;
    FaultHandler m_faultHandler;
    qint64 m_received = 0;
    qint64 m_sent = 0;
};

#endif // NMRELAY_P_H
