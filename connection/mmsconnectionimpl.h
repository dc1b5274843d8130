#ifndef MMSCONNECTIONIMPL_H
#define MMSCONNECTIONIMPL_H

#include <QDBusError>
#include <QDBusObjectPath>
#include <QString>

#include "mmsconnection.h"
#include "quelmgprs.h"

/**
 * \file mmsconnectionimpl.h
 * MmsConnectionImpl, the connection through the cellular GPRS service.
 */

/**
 * \brief MMS packet-data connection through the handset's cellular GPRS service, with the interface and
 * route configured by /sbin/ifconfig and /sbin/route.
 *
 * Made by MmsConnection::createConnection(MmsConnection::GprsConnection). openConnection() asks the GPRS
 * service on the system D-Bus for a quick connection on the access point; the service creates a context.
 * The object then reads the context's address, DNS servers and interface name, brings the interface up
 * (`ifconfig IFACE ADDRESS up`) and routes #target through it (`route add ...`). closeConnection() takes
 * the interface down and deletes the context. The programs run directly (no shell) with the process's own
 * privileges, which must allow network configuration; a run still going after 30 s is killed and counts
 * as failed.
 *
 * **Checked values.** Before any command runs, the interface and address that the service names, and
 * #target, are checked: the loopback interface, malformed names and addresses, and unspecified, loopback,
 * broadcast and multicast addresses (IPv4 and IPv6) are refused with a warning, and the open fails with 1.
 * A target must be an address or a host name of letters, digits and hyphens in dot-separated labels.
 *
 * **Routes.** An empty #target gets a default route through the interface (with a warning: it takes the
 * handset's other traffic too), an address a host route, and a host name a host route to each address (at
 * most 8) that the context's own DNS servers give for it, asked through the interface once it is up, never
 * through the handset's resolver. A name they do not resolve fails the open with 1; it never gets a default
 * route. IPv6 addresses get routes only where the interface has IPv6 on.
 *
 * **A failed open is undone.** After a failure with 1 the attempt's own set-up is taken back: its interface
 * down, its context deleted. An open object stays as it was, with its interface, context and properties.
 *
 * **Re-opening.** openConnection() on an open object replaces the open connection once the new one is up:
 * the old context is deleted, and its interface taken down if the new one is another.
 *
 * **Blocking.** openConnection() returns at once, and the service's answer is awaited for up to 60 s
 * without blocking. Handling that answer blocks the caller's thread: at most 3 s for each of the four
 * context property reads (a read left unanswered fails the open), 30 s for ifconfig, 12 s for a host-name
 * target's look-up, 30 s for route (all of a name's routes together), and, when a failed attempt is undone
 * or a replaced connection released, 30 s for "ifconfig down" and 5 s for the context's Delete: 119 s in
 * the worst case, milliseconds with a working service, DNS server and tools. closeConnection(), and
 * deleting an open object, block for at most 35 s (30 s for ifconfig, 5 s for Delete).
 *
 * **Service events.** The service's Detached arrives as disconnected(), but the object still counts as
 * open: its interface and context stay until closeConnection() (or the destructor) takes them down, and that
 * close emits no second disconnected(). After disconnected(), call closeConnection() all the same. The
 * service's other attach-state reports only reach the debug log.
 *
 * connectionEstablished() values (all of them in \ref connection_codes):
 * | Value | Meaning |
 * |---|---|
 * | 0 | Up: the properties are read, the interface is up, the route is in. |
 * | 1 | The service gave a context but the set-up failed (see above); the attempt has been undone. |
 * | other | The service refused or did not answer the request: its QDBusError::ErrorType. |
 *
 * The D-Bus error types include 2 (Failed), 4 (ServiceUnknown: no service on the bus) and 5 (NoReply: no
 * answer within 60 s); QDBusError::Other is 1, like a failed set-up.
 *
 * States:
 * | State | Event | What happens | Next |
 * |---|---|---|---|
 * | closed | open succeeds | connectionEstablished(0) | open |
 * | closed | open fails | the attempt undone; connectionEstablished(code) | closed |
 * | closed | closeConnection() | disconnected(); returns true | closed |
 * | closed | service's Detached | disconnected() | closed |
 * | open | open succeeds | the old connection released; connectionEstablished(0) | open |
 * | open | open fails | the attempt undone; connectionEstablished(code) | open |
 * | open | closeConnection() | interface down, context deleted; no signal | closed |
 * | open | service's Detached | disconnected() | open |
 * | open | destruction | as closeConnection() | gone |
 */
class MmsConnectionImpl : public MmsConnection
{
    Q_OBJECT

public:
    /// A closed connection, listening to the GPRS service's attach-state signals on the system bus.
    MmsConnectionImpl();
    /// Closes an open connection first (blocking, like closeConnection()).
    ~MmsConnectionImpl() override;

    /**
     * Sends the service an asynchronous QuickConnect for \a apn with \a user and \a pass and returns at once:
     * true when it was sent, false when it could not be (no system bus). The outcome arrives as
     * connectionEstablished(); see the class description for what happens meanwhile and how long it blocks.
     * A second call before the first is answered sends a second request; each answer is handled on its own.
     */
    bool openConnection(const QString &apn, const QString &user, const QString &pass) override;
    /**
     * On an open object: takes the interface down and deletes the context, then counts as closed whatever
     * happened. Returns false when the service refused the deletion or did not answer within 5 s, true
     * otherwise; emits nothing. Blocks for at most 35 s. On a closed object: emits disconnected() and
     * returns true.
     */
    bool closeConnection() override;

Q_SIGNALS:
    /// The outcome of an openConnection(): see the table in the class description.
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
