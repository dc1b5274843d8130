#ifndef MMSSENDERBASE_H
#define MMSSENDERBASE_H

#include <QObject>
#include <QString>
#include <QStringList>

class QIODevice;

/**
 * \file mmssenderbase.h
 * MmsSenderBase, the interface of the two MMS senders.
 */

/**
 * \brief Sends one encoded MMS PDU to the MMSC with an HTTP POST per startMmsSend().
 *
 * Two senders implement this interface: MmsSender on the library's own socket-level HTTP client and
 * MmsSenderNM on Qt's QNetworkAccessManager. They differ in how they read the MMSC URL, in the proxy
 * they set up and in their outcome codes (see each class); a client can hold either through this class.
 *
 * **Calling order.** Set #mmsc and #mmscPort, and #proxy and #proxyPort when the MMS access point needs a
 * proxy; when the MMS bearer is not the handset's default network, also setNetworkInterface() and
 * setDnsServers() with what the connection reported (MmsConnection::interfaceName(),
 * MmsConnection::primaryDNS(), MmsConnection::secondaryDNS()). Connect to the signals, call startMmsSend()
 * and wait for mmsSendComplete(). All settings are read when a send starts, so one sender serves any number
 * of sends, each with the settings of its start.
 *
 * **Devices.** The PDU device must be open for reading and the response device open for writing. Both stay
 * the caller's: the sender never opens, closes or deletes them. Keep them until mmsSendComplete().
 *
 * **Threads and blocking.** The library starts no thread. A sender works in the thread that created it:
 * startMmsSend() and abort() return at once, the transfer runs from that thread's event loop, and every
 * signal is emitted there.
 *
 * **One send at a time.** A send started before the previous one has completed replaces it as the one that
 * is reported: only the send started last ends with mmsSendComplete().
 *
 * **Ownership.** A sender is created without a parent and belongs to its creator, who deletes it (or gives it
 * a parent). It may be deleted from a slot connected to any of its signals. Deleting it ends a send in
 * progress without a signal.
 */
class MmsSenderBase : public QObject
{
    Q_OBJECT
    /**
     * URL of the MMSC as text, e.g. "http://mmsc.operator.example/mms". Empty after construction.
     * MmsSender sends plain HTTP whatever the scheme says; MmsSenderNM honours the scheme.
     * A URL's fragment is never sent.
     */
    Q_PROPERTY(QString mmsc READ mmsc WRITE setMmsc)
    /**
     * TCP port of the MMSC; 0 after construction. On MmsSender it is the port used, 0 meaning 80, and a port
     * written in the URL is ignored. On MmsSenderNM a port other than 0 replaces the URL's; with 0 the URL's
     * own port, or its scheme's default, is used.
     */
    Q_PROPERTY(int mmscPort READ mmscPort WRITE setMmscPort)
    /**
     * Host name or address of the HTTP proxy of the MMS access point (e.g. the operator's WAP proxy).
     * Empty (the default) means a direct connection, also after an earlier send of the same sender went
     * through a proxy.
     */
    Q_PROPERTY(QString proxy READ proxy WRITE setProxy)
    /// TCP port of the HTTP proxy; used only while #proxy is not empty. 0 after construction.
    Q_PROPERTY(int proxyPort READ proxyPort WRITE setProxyPort)

public:
    /// A sender without a parent, with empty #mmsc and #proxy and both ports 0.
    MmsSenderBase();
    /// Ends a send in progress without a signal.
    ~MmsSenderBase() override;

    ///@{
    /// Reads and writes #mmsc. The setter stores the text as it is; it is parsed when a send starts.
    QString mmsc() const;
    void setMmsc(const QString &mmsc);
    ///@}
    ///@{
    /// Reads and writes #mmscPort. Stored as it is, without a range check.
    int mmscPort() const;
    void setMmscPort(int port);
    ///@}
    ///@{
    /// Reads and writes #proxy.
    QString proxy() const;
    void setProxy(const QString &proxy);
    ///@}
    ///@{
    /// Reads and writes #proxyPort. (The getter is not const, as in release 1.0.)
    int proxyPort();
    void setProxyPort(int port);
    ///@}

    /**
     * Starts one HTTP POST of the PDU read from \a pdu, its body read from the current position to the end;
     * the body of the MMSC's answer is written to \a response. Returns at once; the outcome arrives as
     * mmsSendComplete(). See the class description for the devices.
     */
    virtual void startMmsSend(QIODevice *pdu, QIODevice *response) = 0;
    /**
     * Abandons the send in progress. MmsSender then emits no mmsSendComplete() for it; MmsSenderNM ends it
     * with mmsSendComplete(5) (QNetworkReply::OperationCanceledError). Does nothing when no send runs.
     */
    virtual void abort() = 0;

    ///@{
    /**
     * No-progress time limit of a transfer in milliseconds: 120000 by default; 0 (or less) means none.
     *
     * The limit counts from the start of a transfer and restarts whenever a byte goes out or comes in,
     * through name look-up, connecting (to the server or the proxy), waiting for the answer and the body
     * both ways, so a slow transfer that keeps moving is never ended by it. When it runs out the transfer
     * ends once with mmsSendComplete(7) on MmsSender (7 is the client's "aborted" code: here the library
     * ended it) and 4 (QNetworkReply::TimeoutError) on MmsSenderNM, with a warning, and the sender can be
     * used again at once. A look-up through dnsServers() that it cuts short ends as host-not-found.
     * Read when a send starts.
     */
    void setTransferTimeout(int msecs);
    int transferTimeout() const;
    ///@}
    ///@{
    /**
     * Largest answer body in bytes; 0 (or less) means none.
     *
     * MmsSender streams the body into the device and has no limit by default; MmsSenderNM holds the body in
     * memory and defaults to the limit set when the library was built (32 MiB unless changed). An answer
     * that announces more ends before any of its body reaches the device; one without a length ends as the
     * limit would be passed, with nothing past it in the device. Outcome 6 on MmsSender (the client's
     * wrong-content-length code) and 299 (QNetworkReply::UnknownContentError) on MmsSenderNM, with a
     * warning. Read when a send starts.
     */
    void setMaxResponseSize(qint64 bytes);
    qint64 maxResponseSize() const;
    ///@}

    ///@{
    /**
     * Network interface to which every socket of a send is bound (SO_BINDTODEVICE), the look-ups through
     * dnsServers() included, so the send leaves through the MMS interface (the connection's
     * MmsConnection::interfaceName()) even where no route leads there. Empty (the default): unbound, the
     * routes decide.
     *
     * A socket that cannot be bound (the interface is gone; before Linux 5.7 the process also needs
     * CAP_NET_RAW) ends the send as a failed connection, mmsSendComplete(3) on MmsSender and 99
     * (QNetworkReply::UnknownNetworkError) on MmsSenderNM: it never leaves through another interface. Names
     * looked up without dnsServers() go to the system resolver, which is not bound. Read when a send starts;
     * an idle connection kept from a send with other settings is not used again.
     */
    void setNetworkInterface(const QString &name);
    QString networkInterface() const;
    ///@}
    ///@{
    /**
     * DNS servers through which the MMSC's and the proxy's host names are resolved, e.g. the connection's
     * MmsConnection::primaryDNS() and MmsConnection::secondaryDNS(): IPv4 or IPv6 addresses with an optional
     * port ("10.9.9.53", "10.9.9.53:5353", "fd00::53", "[fd00::53]:5353"), asked in this order, never the
     * system resolver or /etc/hosts. Empty (the default): the system resolver.
     *
     * Empty and invalid entries are ignored; a list with none left resolves no name. A literal address in
     * the URL is used as it is. A name these servers cannot resolve, or servers that do not answer, end the
     * send once with host-not-found within 12 s in all, or the transfer time limit when that is shorter:
     * mmsSendComplete(2) on MmsSender, 3 (QNetworkReply::HostNotFoundError) on MmsSenderNM. MmsSenderNM
     * connects to the address found and still names the host in the request (the Host field, and for https
     * the TLS server name). Read when a send starts.
     */
    void setDnsServers(const QStringList &servers);
    QStringList dnsServers() const;
    ///@}

Q_SIGNALS:
    /**
     * The send started last has ended. \a httpError is the HTTP status of the MMSC's answer (200 for a
     * normal send) or a code of the sender's HTTP client. Which statuses arrive as themselves, what the
     * codes mean and when the answer's body reaches the response device differ between the two senders:
     * see \ref outcomes.
     */
    void mmsSendComplete(int httpError);
    /// Bytes of the PDU sent so far (\a done) of \a total.
    void sendProgress(int done, int total);
    /**
     * The HTTP connection changed its state (\a state, a value of the \ref socket_states "socket client's
     * states"). Only MmsSender emits it.
     */
    void connectionStateChanged(int state);

private:
    Q_DISABLE_COPY(MmsSenderBase)

    QString m_mmsc;
    int m_mmsc_port = 0;
    QString m_proxy;
    int m_proxy_port = 0;
};

#endif // MMSSENDERBASE_H
