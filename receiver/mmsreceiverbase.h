#ifndef MMSRECEIVERBASE_H
#define MMSRECEIVERBASE_H

#include <QObject>
#include <QString>
#include <QStringList>

class QIODevice;

/**
 * \file mmsreceiverbase.h
 * MmsReceiverBase, the interface of the two MMS receivers.
 */

/**
 * \brief Downloads one MMS PDU with an HTTP GET per downloadMms().
 *
 * Two receivers implement this interface: MmsReceiver on the library's own socket-level HTTP client and
 * MmsReceiverNM on Qt's QNetworkAccessManager. They differ in how they read the URL, in the proxy they set
 * up, in when the body reaches the device and in their outcome codes (see each class); a client can hold
 * either through this class.
 *
 * **Calling order.** Set #proxy and #proxyPort when the MMS access point needs a proxy; when the MMS bearer
 * is not the handset's default network, also setNetworkInterface() and setDnsServers() with what the
 * connection reported (MmsConnection::interfaceName(), MmsConnection::primaryDNS(),
 * MmsConnection::secondaryDNS()). Connect to the signals, call downloadMms() with the message's URL (the
 * Content-Location of its notification) and wait for downloadCompleted(). All settings are read when a
 * download starts, so one receiver serves any number of downloads.
 *
 * **Device.** The output device must be open for writing. It stays the caller's: the receiver never opens,
 * closes or deletes it. Keep it until downloadCompleted().
 *
 * **Threads and blocking.** The library starts no thread. A receiver works in the thread that created it:
 * downloadMms() and abort() return at once, the transfer runs from that thread's event loop, and every
 * signal is emitted there.
 *
 * **One download at a time.** A download started before the previous one has completed replaces it as the
 * one that is reported: only the download started last ends with downloadCompleted().
 *
 * **Ownership.** A receiver is created without a parent and belongs to its creator, who deletes it (or gives
 * it a parent). It may be deleted from a slot connected to any of its signals. Deleting it ends a download in
 * progress without a signal.
 */
class MmsReceiverBase : public QObject
{
    Q_OBJECT
    /**
     * Host name or address of the HTTP proxy of the MMS access point (e.g. the operator's WAP proxy).
     * Empty (the default) means a direct connection, also after an earlier download of the same receiver
     * went through a proxy.
     */
    Q_PROPERTY(QString proxy READ proxy WRITE setProxy)
    /// TCP port of the HTTP proxy; used only while #proxy is not empty. 0 after construction.
    Q_PROPERTY(int proxyPort READ proxyPort WRITE setProxyPort)

public:
    /// A receiver without a parent, with an empty #proxy and #proxyPort 0.
    MmsReceiverBase();
    /// Ends a download in progress without a signal.
    ~MmsReceiverBase() override;

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
     * Starts an HTTP GET of \a url; the body of the answer is written to \a device. Returns at once; the
     * outcome arrives as downloadCompleted(). See the class description for the device.
     */
    virtual void downloadMms(const QString &url, QIODevice *device) = 0;
    /**
     * Abandons the download in progress. MmsReceiver then emits no downloadCompleted() for it;
     * MmsReceiverNM ends it with downloadCompleted(5) (QNetworkReply::OperationCanceledError). Does nothing
     * when no download runs.
     */
    virtual void abort() = 0;

    ///@{
    /**
     * No-progress time limit of a transfer in milliseconds: 120000 by default; 0 (or less) means none.
     *
     * The limit counts from the start of a transfer and restarts whenever a byte goes out or comes in,
     * through name look-up, connecting (to the server or the proxy), waiting for the answer and the body,
     * so a slow transfer that keeps moving is never ended by it. When it runs out the transfer ends once
     * with downloadCompleted(7) on MmsReceiver (7 is the client's "aborted" code: here the library ended
     * it) and 4 (QNetworkReply::TimeoutError) on MmsReceiverNM, with a warning, and the receiver can be
     * used again at once. A look-up through dnsServers() that it cuts short ends as host-not-found.
     * Read when a download starts.
     */
    void setTransferTimeout(int msecs);
    int transferTimeout() const;
    ///@}
    ///@{
    /**
     * Largest answer body in bytes; 0 (or less) means none.
     *
     * MmsReceiver streams the body into the device and has no limit by default; MmsReceiverNM holds the
     * body in memory and defaults to the limit set when the library was built (32 MiB unless changed). An
     * answer that announces more ends before any of its body reaches the device; one without a length ends
     * as the limit would be passed, with nothing past it in the device. Outcome 6 on MmsReceiver (the
     * client's wrong-content-length code) and 299 (QNetworkReply::UnknownContentError) on MmsReceiverNM,
     * with a warning. Read when a download starts.
     */
    void setMaxResponseSize(qint64 bytes);
    qint64 maxResponseSize() const;
    ///@}

    ///@{
    /**
     * Network interface to which every socket of a download is bound (SO_BINDTODEVICE), the look-ups through
     * dnsServers() included, so the download leaves through the MMS interface (the connection's
     * MmsConnection::interfaceName()) even where no route leads there. Empty (the default): unbound, the
     * routes decide.
     *
     * A socket that cannot be bound (the interface is gone; before Linux 5.7 the process also needs
     * CAP_NET_RAW) ends the download as a failed connection, downloadCompleted(3) on MmsReceiver and 99
     * (QNetworkReply::UnknownNetworkError) on MmsReceiverNM: it never leaves through another interface. Names
     * looked up without dnsServers() go to the system resolver, which is not bound. Read when a download
     * starts; an idle connection kept from a download with other settings is not used again.
     */
    void setNetworkInterface(const QString &name);
    QString networkInterface() const;
    ///@}
    ///@{
    /**
     * DNS servers through which the host names of the URL and of the proxy are resolved, e.g. the
     * connection's MmsConnection::primaryDNS() and MmsConnection::secondaryDNS(): IPv4 or IPv6 addresses with
     * an optional port ("10.9.9.53", "10.9.9.53:5353", "fd00::53", "[fd00::53]:5353"), asked in this order,
     * never the system resolver or /etc/hosts. Empty (the default): the system resolver.
     *
     * Empty and invalid entries are ignored; a list with none left resolves no name. A literal address in
     * the URL is used as it is. A name these servers cannot resolve, or servers that do not answer, end the
     * download once with host-not-found within 12 s in all, or the transfer time limit when that is shorter:
     * downloadCompleted(2) on MmsReceiver, 3 (QNetworkReply::HostNotFoundError) on MmsReceiverNM.
     * MmsReceiverNM connects to the address found and still names the host in the request (the Host field,
     * and for https the TLS server name). Read when a download starts.
     */
    void setDnsServers(const QStringList &servers);
    QStringList dnsServers() const;
    ///@}

Q_SIGNALS:
    /**
     * The download started last has ended. \a httpError is the HTTP status of the answer (200 for a normal
     * download) or a code of the receiver's HTTP client. Which statuses arrive as themselves, what the codes
     * mean and what of the body reaches the device differ between the two receivers: see \ref outcomes.
     */
    void downloadCompleted(int httpError);
    /**
     * Bytes of the answer body received so far (\a done) of \a total, the announced size: 0 on
     * MmsReceiver and -1 on MmsReceiverNM while it is not known.
     */
    void downloadProgress(int done, int total);
    /**
     * The HTTP connection changed its state (\a state, a value of the \ref socket_states "socket client's
     * states"). Only MmsReceiver emits it.
     */
    void connectionStateChanged(int state);

private:
    Q_DISABLE_COPY(MmsReceiverBase)

    QString m_proxy;
    int m_proxy_port = 0;
};

#endif // MMSRECEIVERBASE_H
