#ifndef CONTEXTOBJECT_H
#define CONTEXTOBJECT_H

#include <QDBusVirtualObject>

class GprsService;

// One context object on the bus. It takes every message itself, the standard
// Properties interface included, so that a property can be left out or a
// call failed at will; the service decides the answers.
class ContextObject : public QDBusVirtualObject
{
    Q_OBJECT

public:
    ContextObject(GprsService *service, const QString &path);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    GprsService *m_service;
    QString m_path;
};

#endif // CONTEXTOBJECT_H
