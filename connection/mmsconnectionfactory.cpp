// The one place where the connection interface names its implementations.
#include "mmsconnection.h"
#include "mmsconnectionimpl.h"
#include "mmsconnectionnetimpl.h"

MmsConnection *MmsConnection::createConnection(MmsConnectionType type)
{
    switch (type) {
    case GprsConnection:
        return new MmsConnectionImpl;
    case NetConnection:
        return new MmsConnectionNetImpl;
    }
    qWarning("Unexpected connection type, return NULL!");
    return nullptr;
}
