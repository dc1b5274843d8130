#include "quelmgprs.h"

#include <QDBusConnection>
#include <QDBusPendingReply>

#include "gprsnames_p.h"
#include "quelmgprs_p.h"

QuelmGprs::QuelmGprs()
    : QObject(nullptr)
{
    // The Status signal can be subscribed and demarshalled only once the
    // context types are known to QtDBus.
    GprsContext::registerTypes();
    m_private = new QuelmGprsPrivate(this);
}

QuelmGprs::~QuelmGprs() = default;

GprsContextList QuelmGprs::getStatus()
{
    QDBusPendingReply<GprsContextList> reply = m_private->m_dbus_proxy.GetStatus();
    if (reply.isError())
        return GprsContextList();
    reply.waitForFinished();
    if (reply.isError())
        return GprsContextList();
    return reply.value();
}

QuelmGprsPrivate::QuelmGprsPrivate(QObject *parent)
    : QObject(parent)
    , m_dbus_proxy(QLatin1String(GprsNames::Service), QLatin1String(GprsNames::Path),
          QDBusConnection::systemBus(), nullptr)
{
    QuelmGprs *q = qobject_cast<QuelmGprs *>(parent);
    if (!q)
        return;
    // Connecting also subscribes the proxy to each D-Bus signal.
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::AttachFailed, q, &QuelmGprs::AttachFailed);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::Attached, q, &QuelmGprs::Attached);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::Available, q, &QuelmGprs::Available);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::DataCounters, q, &QuelmGprs::DataCounters);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::Detached, q, &QuelmGprs::Detached);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::Status, q, &QuelmGprs::Status);
    connect(&m_dbus_proxy, &ComOrvelQuelmGprs::Suspended, q, &QuelmGprs::Suspended);
}

QuelmGprsPrivate::~QuelmGprsPrivate() = default;
