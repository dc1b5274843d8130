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
//
// The service's Detached arrives as disconnected(), but the object still
// counts as open: its interface and context stay until closeConnection() (or
// the destructor) takes them down, and that close emits no second
// disconnected(). After disconnected(), call closeConnection() all the same.
class MmsConnectionImpl : public MmsConnection
{
    Q_OBJECT

public:
    MmsConnectionImpl();
    // Closes an open connection first (blocking, like closeConnection()).
    ~MmsConnectionImpl() override;

    // Sends an asynchronous QuickConnect (its answer awaited up to 60 s, without
    // blocking); the outcome arrives as connectionEstablished(): 0 up, 1 set-up
    // failed or refused, else the D-Bus error type.
    // On an open object the new connection replaces the open one once it is
    // up: the old context is deleted, and its interface taken down if the new
    // one is another; a failed attempt leaves the open one as it was.
    // target() decides the route through the interface: empty, a default
    // route (with a warning); an address, a host route to it; a host name, a
    // host route to each address (at most 8) that the context's own DNS
    // servers give for it, asked through the interface once it is up. A name
    // they do not resolve fails the open with 1, never with a default route.
    // IPv6 addresses get routes only where the interface has IPv6 on.
    // Handling the answer blocks the caller's thread: at most 3 s for each of
    // the four context property reads (a read left unanswered fails the open),
    // 30 s for ifconfig, 12 s for a host-name target's look-up, 30 s for
    // route (all of a name's routes together), and, when a failed attempt is
    // undone or a replaced connection released, 30 s for "ifconfig down" and
    // 5 s for the context's Delete: 119 s in the worst case, milliseconds with
    // a working service, DNS server and tools.
    bool openConnection(const QString &apn, const QString &user, const QString &pass) override;
    // Takes the interface down and deletes the context; false when the service
    // refused the deletion or did not answer within 5 s. On a closed object:
    // disconnected(), true. Blocks the caller's thread for at most 35 s (30 s
    // for ifconfig, 5 s for Delete).
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
