#include "contextobject.h"

#include <QDBusMessage>
#include <QFile>
#include <QRegularExpression>

#include "gprsservice.h"

ContextObject::ContextObject(GprsService *service, const QString &path)
    : QDBusVirtualObject(service)
    , m_service(service)
    , m_path(path)
{
}

QString ContextObject::introspect(const QString &) const
{
    // QtDBus wraps the interface elements in the node and adds the standard
    // interfaces itself.
    static const QString interfaces = [] {
        QFile file(QStringLiteral(":/introspection/context.xml"));
        file.open(QIODevice::ReadOnly);
        const QString xml = QString::fromUtf8(file.readAll());
        const QRegularExpression re(
            QStringLiteral("<interface.*</interface>"), QRegularExpression::DotMatchesEverythingOption);
        return re.match(xml).captured(0) + QLatin1Char('\n');
    }();
    return interfaces;
}

bool ContextObject::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    // Introspection and Peer are QtDBus's business.
    if (message.interface() == QLatin1String("org.freedesktop.DBus.Introspectable")
        || message.interface() == QLatin1String("org.freedesktop.DBus.Peer"))
        return false;
    m_service->handleContextMessage(m_path, message, connection);
    return true;
}
