#ifndef MMSSENDERBASE_H
#define MMSSENDERBASE_H

#include <QObject>
#include <QString>
#include <QStringList>

class QIODevice;

// Abstract MMS sender: the MMSC and optional HTTP proxy as properties, one
// POST per startMmsSend(), outcome and progress through signals. The
// properties are read afresh by every send. A sender may be deleted from a
// slot connected to any of its signals.
class MmsSenderBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString mmsc READ mmsc WRITE setMmsc)
    Q_PROPERTY(int mmscPort READ mmscPort WRITE setMmscPort)
    Q_PROPERTY(QString proxy READ proxy WRITE setProxy)
    Q_PROPERTY(int proxyPort READ proxyPort WRITE setProxyPort)

public:
    MmsSenderBase();
    ~MmsSenderBase() override;

    QString mmsc() const;
    void setMmsc(const QString &mmsc);
    int mmscPort() const;
    void setMmscPort(int port);
    QString proxy() const;
    void setProxy(const QString &proxy);
    int proxyPort();
    void setProxyPort(int port);

    // Starts one HTTP POST of the PDU read from `pdu`; the MMSC's answer goes
    // to `response`. Neither device is opened, closed or deleted here.
    virtual void startMmsSend(QIODevice *pdu, QIODevice *response) = 0;
    virtual void abort() = 0;

    // Limits of a transfer, read when it starts (settings made meanwhile
    // count from the next one).
    //
    // No-progress time limit in milliseconds, 120000 by default; 0 (or less)
    // means none. It counts from the start of a transfer and restarts whenever
    // a byte goes out or comes in, through name look-up, connecting (to the
    // server or the proxy), waiting for the answer and the body both ways, so
    // a slow transfer that keeps moving is never ended by it. When it runs
    // out the transfer ends once with mmsSendComplete(7) on the socket
    // variants (their "aborted" code: the library ended it) and 4
    // (QNetworkReply::TimeoutError) on the network-manager variants, and the
    // object can be used again at once. A look-up through dnsServers() that
    // it cuts short ends as host-not-found (see there).
    void setTransferTimeout(int msecs);
    int transferTimeout() const;
    // Largest answer body in bytes; 0 (or less) means none. The socket
    // variants stream the body and have no limit by default; the
    // network-manager variants hold it in memory and default to the limit
    // set when the library was built (32 MiB unless changed). An answer that
    // announces more ends before any of its body reaches the device; one
    // without a length ends as the limit would be passed, with nothing past
    // it in the device. Outcome 6 on the socket variants (their
    // wrong-content-length code), 299 (QNetworkReply::UnknownContentError)
    // on the network-manager variants.
    void setMaxResponseSize(qint64 bytes);
    qint64 maxResponseSize() const;

    // Reaching the MMSC through the MMS bearer, on all four transfer
    // classes. Read when a transfer starts: settings made meanwhile count
    // from the next one, and an idle connection kept from a transfer with
    // other settings is not used again.
    //
    // Network interface that every socket of a transfer is bound to
    // (SO_BINDTODEVICE), the look-ups through dnsServers() included, so the
    // transfer leaves through the MMS interface (the connection's
    // interfaceName()) even where no route leads there. Empty (the default):
    // unbound, the routes decide. A socket that cannot be bound (the
    // interface is gone; before Linux 5.7 the process also needs
    // CAP_NET_RAW) ends the transfer as a failed connection,
    // mmsSendComplete(3) on the socket variants and 99
    // (QNetworkReply::UnknownNetworkError, as for an unreachable network) on
    // the network-manager variants: it never leaves through another
    // interface. Names looked up without dnsServers() go to the
    // system resolver, which is not bound.
    void setNetworkInterface(const QString &name);
    QString networkInterface() const;
    // DNS servers through which the MMSC's and the proxy's host names are
    // resolved (e.g. the connection's primaryDNS() and secondaryDNS()): IPv4
    // or IPv6 addresses with an optional port ("10.9.9.53", "10.9.9.53:5353",
    // "fd00::53", "[fd00::53]:5353"), asked in this order, never the system
    // resolver or /etc/hosts. Empty and invalid entries are ignored; a list
    // with none left resolves no name. A literal address in the URL is used
    // as it is. A name these servers cannot resolve, or servers that do not
    // answer, end the transfer once with host-not-found within 12 s in all,
    // or the transfer time limit when that is shorter: mmsSendComplete(2)
    // on the socket variants, 3 (QNetworkReply::HostNotFoundError) on the
    // network-manager variants. The network-manager variants connect to the
    // address found and still name the host in the request (the Host field,
    // and for https the TLS server name). Empty (the default): the system
    // resolver.
    void setDnsServers(const QStringList &servers);
    QStringList dnsServers() const;

Q_SIGNALS:
    void mmsSendComplete(int httpError);
    void sendProgress(int done, int total);
    void connectionStateChanged(int state);

private:
    Q_DISABLE_COPY(MmsSenderBase)

    QString m_mmsc;
    int m_mmsc_port = 0;
    QString m_proxy;
    int m_proxy_port = 0;
};

#endif // MMSSENDERBASE_H
