#ifndef MMSCONNECTION_H
#define MMSCONNECTION_H

#include <QObject>
#include <QString>

/**
 * \file mmsconnection.h
 * MmsConnection, the MMS packet-data connection, and its factory.
 */

/**
 * \brief The MMS packet-data connection: brings it up and down and tells its interface, address and DNS
 * servers.
 *
 * createConnection() makes one of the two implementations: MmsConnectionImpl, which drives the handset's
 * cellular GPRS service on the system D-Bus and configures the interface and route itself, or
 * MmsConnectionNetImpl, which leaves all of it to the handset's packet-data library.
 *
 * **Calling order.** createConnection(); connect to connectionEstablished(int) and disconnected();
 * optionally setTarget(); openConnection(). After connectionEstablished(0) read #interfaceName, #ipAddress,
 * #primaryDNS and #secondaryDNS (and hand them to the senders and receivers:
 * MmsSenderBase::setNetworkInterface(), MmsSenderBase::setDnsServers()); transfer; closeConnection(); delete
 * the object.
 *
 * **Connect connectionEstablished() by its signature.** Each implementation declares and emits a
 * connectionEstablished(int) signal of its own; the one declared here is never emitted. Connect with
 * `SIGNAL(connectionEstablished(int))`, which Qt looks up in the most derived class first, or with a
 * pointer to the implementation's signal (e.g. `&MmsConnectionImpl::connectionEstablished`); a pointer to
 * `&MmsConnection::connectionEstablished` connects to a signal that never comes.
 *
 * **Threads and blocking.** The library starts no thread: the object lives in the thread that created it,
 * and all its signals come from that thread's event loop. openConnection() returns without waiting for the
 * network, but MmsConnectionImpl blocks that thread while it handles the service's answer and while it
 * closes, for bounded times given in its description.
 *
 * **Ownership.** The object has no parent and belongs to the caller of createConnection(), who deletes it.
 * The values of the address properties are plain text as the implementation received them; they are never
 * cleared, only overwritten by the next connection.
 */
class MmsConnection : public QObject
{
    Q_OBJECT
    /// IP address the device got on the packet-data connection. Written by the implementation.
    Q_PROPERTY(QString ipAddress READ ipAddress WRITE setIpAddress)
    /// Address of the connection's primary DNS server. Written by the implementation.
    Q_PROPERTY(QString primaryDNS READ primaryDNS WRITE setPrimaryDNS)
    /// Address of the connection's secondary DNS server. Written by the implementation.
    Q_PROPERTY(QString secondaryDNS READ secondaryDNS WRITE setSecondaryDNS)
    /// Name of the network interface that carries the connection. Written by the implementation.
    Q_PROPERTY(QString interfaceName READ interfaceName WRITE setInterfaceName)
    /**
     * What MmsConnectionImpl routes through the interface: empty for a default route, an address or a host
     * name (usually the MMSC's or the proxy's host) for host routes. Set by the client before
     * openConnection(); MmsConnectionNetImpl does not use it.
     */
    Q_PROPERTY(QString target READ target WRITE setTarget)

public:
    /// The implementation createConnection() makes. The underlying type is fixed, so any int converts.
    enum MmsConnectionType : int {
        GprsConnection = 0, ///< Through the cellular GPRS service: MmsConnectionImpl.
        NetConnection = 1 ///< Through the handset's packet-data library: MmsConnectionNetImpl.
    };

    /// For implementations: a connection without a parent, with all five properties empty.
    MmsConnection();
    /// Releases the five strings; the implementations' destructors say what they do first.
    ~MmsConnection() override;

    /**
     * A new connection of the given type, owned by the caller. For any other value of \a type: a warning
     * ("Unexpected connection type, return NULL!") and null.
     */
    static MmsConnection *createConnection(MmsConnectionType type);

    ///@{
    /**
     * Reads and writes #ipAddress. The setters of the five properties store the value as it is, without a
     * check or a signal; the getters are not const, as in release 1.0.
     */
    QString ipAddress();
    void setIpAddress(QString ipAddress);
    ///@}
    ///@{
    /// Reads and writes #primaryDNS.
    QString primaryDNS();
    void setPrimaryDNS(QString primaryDNS);
    ///@}
    ///@{
    /// Reads and writes #secondaryDNS.
    QString secondaryDNS();
    void setSecondaryDNS(QString secondaryDNS);
    ///@}
    ///@{
    /// Reads and writes #interfaceName.
    QString interfaceName();
    void setInterfaceName(QString interfaceName);
    ///@}
    ///@{
    /// Reads and writes #target.
    QString target();
    void setTarget(const QString &target);
    ///@}

    /**
     * Starts opening the MMS connection on the access point \a apn with the user name \a user and the
     * password \a pass. Returns false when the attempt could not be started; the outcome of a started one
     * arrives as connectionEstablished(). Passwords never appear in the library's log lines.
     */
    virtual bool openConnection(const QString &apn, const QString &user, const QString &pass) = 0;
    /// Takes the connection down. What the result means and what is signalled: see each implementation.
    virtual bool closeConnection() = 0;

Q_SIGNALS:
    /**
     * The outcome of an openConnection(): 0 when the connection is up, a failure code otherwise
     * (\ref connection_codes). Declared again, and emitted, by each implementation: connect by signature
     * (see the class description).
     */
    void connectionEstablished(int error);
    /**
     * The connection is gone, or was not there to close. Emitted by MmsConnectionImpl only (see there for
     * when).
     */
    void disconnected();

private:
    Q_DISABLE_COPY(MmsConnection)

    QString m_ip_address;
    QString m_primary_dns;
    QString m_secondary_dns;
    QString m_interface_name;
    QString m_target;
};

#endif // MMSCONNECTION_H
