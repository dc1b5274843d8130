#ifndef MMSCONNECTIONNETIMPL_H
#define MMSCONNECTIONNETIMPL_H

#include "mmsconnection.h"

struct mms_context_s;
struct mms_handle_s;

/**
 * \file mmsconnectionnetimpl.h
 * MmsConnectionNetImpl, the connection through the handset's packet-data library.
 */

/**
 * \brief MMS packet-data connection through the handset's packet-data library (libkavlo.so.0).
 *
 * Made by MmsConnection::createConnection(MmsConnection::NetConnection). The packet-data library brings the
 * connection up and down and configures the interface and routes itself; this class passes it the access
 * point and credentials and turns its callback into the address properties and connectionEstablished().
 * #target is not used.
 *
 * The first object in a process attaches the process's shared system-bus connection (libdbus) to the GLib
 * main loop, which Qt's event loop runs on Linux, so that the library's D-Bus traffic and its callback are
 * served by the caller's event loop in the caller's thread. A Qt event loop without GLib (QT_NO_GLIB=1)
 * delivers nothing. A failure there is logged as critical and not retried by later objects.
 *
 * connectionEstablished() values:
 * | Value | Meaning |
 * |---|---|
 * | 0 | The library reports the connection up; the four address properties are set. |
 * | 1 | The library reports the connection lost or closed; the properties keep their values. |
 * | 1 | openConnection() found the library not initialised (and returns false). |
 *
 * No call of this class blocks beyond the packet-data library's own calls. disconnected() is never emitted:
 * a closed connection arrives as connectionEstablished(1).
 */
class MmsConnectionNetImpl : public MmsConnection
{
    Q_OBJECT

public:
    /**
     * Initialises the packet-data library for this object. When that fails the object is still made, with
     * a critical log line, and every openConnection() fails.
     */
    MmsConnectionNetImpl();
    /// Releases the packet-data library. It does not close the connection: call closeConnection() first.
    ~MmsConnectionNetImpl() override;

    /**
     * Asks the packet-data library to open the MMS connection on \a apn with \a user and \a pass. True when
     * the library accepted the request; the outcome arrives as connectionEstablished(). False when it refused
     * (no signal follows) or was never initialised (connectionEstablished(1) has then been emitted).
     */
    bool openConnection(const QString &apn, const QString &user, const QString &pass) override;
    /**
     * Asks the packet-data library to close the connection; it reports the closure as
     * connectionEstablished(1). True when asked, false when the library was never initialised.
     */
    bool closeConnection() override;

    /// The callback given to the packet-data library; \a userData is the object that asked. Not for clients.
    static void kavlo_callback(const mms_context_s *context, void *userData);

Q_SIGNALS:
    /// 0: the connection is up; 1: it failed to open, or was lost or closed.
    void connectionEstablished(int error);

private:
    Q_DISABLE_COPY(MmsConnectionNetImpl)

    mms_handle_s *m_mms_handle;
    static bool m_glib_dbus_initialized;
};

#endif // MMSCONNECTIONNETIMPL_H
