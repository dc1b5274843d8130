#ifndef MMSCONNECTIONIMPL_H
#define MMSCONNECTIONIMPL_H

#include <QDBusError>
#include <QDBusObjectPath>
#include <QString>

#include "mmsconnection.h"
#include "quelmgprs.h"

// MMS packet-data connection through the handset's cellular GPRS service:
// the service creates the context, this class configures the interface and
// the route with /sbin/ifconfig and /sbin/route and takes them down again.
class MmsConnectionImpl : public MmsConnection
{
    Q_OBJECT

public:
    MmsConnectionImpl();
    // Closes an open connection first (blocking, like closeConnection()).
    ~MmsConnectionImpl() override;

    // Sends an asynchronous QuickConnect; the outcome arrives as
    // connectionEstablished(): 0 up, 1 set-up failed, else the D-Bus error type.
    bool openConnection(const QString &apn, const QString &user, const QString &pass) override;
    // Takes the interface down and deletes the context; false when the
    // service refused the deletion. On a closed object: disconnected(), true.
    bool closeConnection() override;

Q_SIGNALS:
    void connectionEstablished(int error);

private Q_SLOTS:
    void connectionCallback(QDBusObjectPath connectionContext);
    void connectionError(QDBusError error);
    void gprsAttached(const QString &status);
    void gprsAttachFailed(unsigned int code, const QString &reason);
    void gprsAvailable();
    void gprsDetached();
    void gprsSuspended(unsigned int code, const QString &reason);

private:
    Q_DISABLE_COPY(MmsConnectionImpl)

    bool m_connected;
    QDBusObjectPath m_context_path;
    QuelmGprs m_gprs;
};

#endif // MMSCONNECTIONIMPL_H
