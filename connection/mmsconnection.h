#ifndef MMSCONNECTION_H
#define MMSCONNECTION_H

#include <QObject>
#include <QString>

// Abstract MMS packet-data connection. An implementation fills the address
// properties when the connection comes up and reports the outcome of each
// openConnection() through connectionEstablished().
class MmsConnection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString ipAddress READ ipAddress WRITE setIpAddress)
    Q_PROPERTY(QString primaryDNS READ primaryDNS WRITE setPrimaryDNS)
    Q_PROPERTY(QString secondaryDNS READ secondaryDNS WRITE setSecondaryDNS)
    Q_PROPERTY(QString interfaceName READ interfaceName WRITE setInterfaceName)
    Q_PROPERTY(QString target READ target WRITE setTarget)

public:
    // Fixed to int: any value a client passes is a defined one, which
    // createConnection() then refuses.
    enum MmsConnectionType : int {
        GprsConnection = 0, // through the cellular GPRS service (MmsConnectionImpl)
        NetConnection = 1   // through the packet-data library (MmsConnectionNetImpl)
    };

    MmsConnection();
    ~MmsConnection() override;

    // A new connection of the given type, owned by the caller; null for an
    // unknown type.
    static MmsConnection *createConnection(MmsConnectionType type);

    QString ipAddress();
    void setIpAddress(QString ipAddress);
    QString primaryDNS();
    void setPrimaryDNS(QString primaryDNS);
    QString secondaryDNS();
    void setSecondaryDNS(QString secondaryDNS);
    QString interfaceName();
    void setInterfaceName(QString interfaceName);
    QString target();
    void setTarget(const QString &target);

    // Starts opening; false when the attempt could not be started. The outcome
    // of a started attempt arrives as connectionEstablished(). Opening and
    // closing may block the caller's thread for a bounded time (worst cases:
    // mmsconnectionimpl.h).
    virtual bool openConnection(const QString &apn, const QString &user, const QString &pass) = 0;
    virtual bool closeConnection() = 0;

Q_SIGNALS:
    void connectionEstablished(int error);
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
