#ifndef MMSCONNECTIONNETIMPL_H
#define MMSCONNECTIONNETIMPL_H

#include "mmsconnection.h"

struct mms_context_s;
struct mms_handle_s;

// Connection through the handset's packet-data library (libkavlo): the library
// brings the connection up and down, this class turns its callback into the
// address properties and connectionEstablished().
class MmsConnectionNetImpl : public MmsConnection
{
    Q_OBJECT

public:
    MmsConnectionNetImpl();
    ~MmsConnectionNetImpl() override;

    bool openConnection(const QString &apn, const QString &user, const QString &pass) override;
    bool closeConnection() override;

    // Given to mms_connect; userData is the MmsConnectionNetImpl that asked.
    static void kavlo_callback(const mms_context_s *context, void *userData);

Q_SIGNALS:
    // 0: the connection is up; 1: it failed to open, or was lost or closed.
    void connectionEstablished(int error);

private:
    Q_DISABLE_COPY(MmsConnectionNetImpl)

    mms_handle_s *m_mms_handle;
    static bool m_glib_dbus_initialized;
};

#endif // MMSCONNECTIONNETIMPL_H
