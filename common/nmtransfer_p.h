#ifndef NMTRANSFER_P_H
#define NMTRANSFER_P_H

#include <QObject>
#include <QPointer>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// What MmsSenderNM and MmsReceiverNM do alike on Qt's network access manager.
namespace TarnexNm {

// A manager owned by `owner` that never waits for a network configuration
// (the MMS connection is brought up by the caller, not by Qt's bearer layer),
// and that reuses no connection after a request with "Connection: close".
QNetworkAccessManager *newManager(QObject *owner);

// Sends the manager's connections for `url` through the owner's relay (made
// on first use, a child of `owner`), to the network directly when `proxy` is
// empty and through the caller's proxy otherwise, bound and resolving as the
// owner's TransferOptions say.
void useRelay(
    QObject *owner, QNetworkAccessManager *manager, const QUrl &url, const QString &proxy, int proxyPort);

// Sets the fields the settings file asks for (RequestProfile) on `request`,
// with the identity values' debug lines, and keeps it on HTTP/1.1.
void setIdentity(QNetworkRequest &request);

// The rest of what every request carries: no content coding unless the
// settings file asks for one (MMS PDUs are never encoded, and the manager
// would inflate a compressed answer past any limit before the library saw
// it) and, on plain HTTP, the relay's tag. Returns the request's tag.
quint64 prepareRequest(QObject *owner, QNetworkRequest &request);

// Holds the reply of the request `tag` to the owner's time and size limits
// (TransferOptions, read now).
void watch(QObject *owner, QNetworkReply *reply, quint64 tag);

// Notes that the library ends `reply` with `code`, before it aborts it.
void setFault(QNetworkReply *reply, int code);

// The outcome when the library ended the reply and knows better than the
// manager why (UnknownContentError for a too large answer, the relay's code
// for a broken one or an unreachable proxy); 0 when it did not.
int faultCode(const QNetworkReply *reply);

// Writes the whole answer into the caller's device, flushing a file device
// (its errors only show then); false when any of it did not arrive there.
bool store(QIODevice *device, const QByteArray &data);

// Held around each signal the transfer classes emit from the manager's or a
// reply's signals. A slot may delete the transfer object, which would delete
// the manager and its replies while they are still inside their own signals
// and touch themselves once it returns. Meanwhile the manager is not the
// owner's child; if the owner has gone, the manager goes from the event loop.
class ManagerHold
{
public:
    ManagerHold(QObject *owner, QObject *manager)
        : m_owner(owner)
        , m_manager(manager)
    {
        manager->setParent(nullptr);
    }
    ~ManagerHold()
    {
        if (m_owner)
            m_manager->setParent(m_owner);
        else
            m_manager->deleteLater();
    }

private:
    Q_DISABLE_COPY(ManagerHold)
    QPointer<QObject> m_owner;
    QObject *const m_manager;
};

} // namespace TarnexNm

#endif // NMTRANSFER_P_H
