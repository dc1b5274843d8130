#ifndef NMRELAYCONNECTION_P_H
#define NMRELAYCONNECTION_P_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include "dnsresolver_p.h"
#include "httpresponseparser.h"
#include "nmrelay_p.h"

class QHostInfo;
class QSocketNotifier;

// One connection of the manager through the relay: the SOCKS5 hand-shake (or
// none, in front of the caller's HTTP proxy), the connection to the network,
// and the bytes both ways. Plain sockets with one buffer per direction: a
// side is read only once the other has taken what came before, so memory per
// connection stays fixed and TCP slows the sender down. On plain HTTP it
// follows the requests (to know which one an answer belongs to, and to remove
// the relay's tag field) and checks every answer with the response parser
// before passing it on.
class NmRelayConnection : public QObject, private HttpResponseParser::Handler
{
    Q_OBJECT

public:
    // Takes over `client`, a connected socket. An empty proxyHost makes it a
    // SOCKS5 server that connects where the manager asks.
    NmRelayConnection(NmRelay *relay, int client, const QString &proxyHost, quint16 proxyPort,
        const NmRelay::Bearer &bearer);
    ~NmRelayConnection() override;

    // The request the connection serves; 0 until a plain-HTTP request has
    // passed (and always for TLS).
    quint64 tag() const { return m_tag; }
    bool isResolving() const { return m_resolver != nullptr; }
    void pollAcknowledged();
    // Ends everything on the network's side; see NmRelay::halt().
    void halt();

private Q_SLOTS:
    // Connected by name, not as a functor: Qt 5 leaks a functor's slot object
    // when the look-up is aborted.
    void lookedUp(const QHostInfo &info);

private:
    enum Phase {
        Greeting, // SOCKS5 method selection
        SocksRequest,
        Connecting,
        Relaying,
        ConnectFailed, // through a proxy: waiting for the request to know whose it was
        Stopped // waiting for the manager to close; its bytes are dropped
    };
    enum Kind { Unknown, Http, Tunnel };
    enum Error { HostNotFound, Refused, Unreachable, Unbound };

    // Bytes on their way to one side: out[from, to) is still to be written.
    struct Flow
    {
        int fd = -1;
        QSocketNotifier *readable = nullptr;
        QSocketNotifier *writable = nullptr;
        QByteArray buffer; // reused for every read
        QByteArray out;
        int from = 0;
        int to = 0;
        bool pending() const { return from < to; }
    };

    void clientReadable();
    void upstreamReadable();
    void clientWritable();
    void upstreamWritable();
    qint64 receive(Flow &source);
    bool flush(Flow &target);
    void update();
    void handshake(const QByteArray &data);
    void lookUp(const QString &host);
    void dnsLookedUp(DnsResolver::Error error, const QList<QHostAddress> &addresses);
    void stopLookup();
    void connectNext();
    void connected();
    void connectFailed();
    void socksReply(quint8 code);
    QByteArray scanRequests(const QByteArray &data);
    QByteArray requestHead(const QByteArray &head);
    qint64 checkAnswer(const QByteArray &data);
    bool headerReceived(const QHttpResponseHeader &header) override;
    bool bodyReceived(const char *data, qint64 size) override;
    void stop(int code, const QString &why);
    void end(int code);
    void closeSide(Flow &side);
    void close();

    NmRelay *m_relay;
    Flow m_client; // the manager's side: what goes to it
    Flow m_upstream; // the network's side: what goes to it
    const bool m_socks;
    const NmRelay::Bearer m_bearer;
    QString m_host;
    quint16 m_port = 0;
    Phase m_phase;
    Kind m_kind = Unknown;
    bool m_upstreamEnded = false;
    bool m_closeWhenFlushed = false;
    bool m_closed = false;

    QByteArray m_handshake;
    int m_lookupId = -1;
    DnsResolver *m_resolver = nullptr;
    QList<QHostAddress> m_addresses;
    Error m_connectError = HostNotFound;

    QByteArray m_requestHead; // of the request being read
    qint64 m_requestBody = 0; // bytes of its body still to pass
    quint64 m_tag = 0; // of the request the connection serves
    bool m_awaitingAnswer = false;
    HttpResponseParser m_parser;
    qint64 m_maxAnswer = 0; // of the request's answer body; 0: none
    bool m_tooLarge = false;

    qint64 m_upstreamHanded = 0; // bytes the kernel took for the network
    qint64 m_upstreamAcked = 0; // of those, acknowledged at the last look
};

#endif // NMRELAYCONNECTION_P_H
