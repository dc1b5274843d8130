#ifndef SIMCONTROL_H
#define SIMCONTROL_H

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>

#include "gprsservice.h"

QDBusArgument &operator<<(QDBusArgument &argument, const ReceivedCall &call);
const QDBusArgument &operator>>(const QDBusArgument &argument, ReceivedCall &call);

// The simulator's control interface, under a bus name of its own so that it
// stays reachable while the service name is released.
class SimControl : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tarnex.GprsSimulator.Control")

public:
    static const char *const ServiceName;
    static const char *const ObjectPath;

    explicit SimControl(GprsService *service, QObject *parent = nullptr);
    bool start(QString *error);

public Q_SLOTS:
    // The next call of `member` ("QuickConnect", "GetStatus", "Get", "Delete", ..)
    // is answered with this error. Several calls queue up, oldest first.
    Q_SCRIPTABLE void FailNext(const QString &member, const QString &errorName, const QString &errorMessage);
    // The next answer to `member` waits this long; a negative time waits until
    // ReleaseHeld (Reset drops it).
    Q_SCRIPTABLE void HoldNext(const QString &member, int milliseconds);
    Q_SCRIPTABLE void ReleaseHeld();
    // Context property reads of `name` fail with UnknownProperty.
    Q_SCRIPTABLE void OmitProperty(const QString &name);
    // Value of "PDPAddress", "PDNSAddress", "SDNSAddress" or "NetIF" for contexts created later.
    Q_SCRIPTABLE bool SetContextProperty(const QString &name, const QString &value);
    Q_SCRIPTABLE QDBusObjectPath AddContext(const QString &apn, const QString &proto, const QString &iface,
        const QString &addr, bool active, qulonglong rx, qulonglong tx);
    Q_SCRIPTABLE void SetServicePresent(bool present);
    Q_SCRIPTABLE QList<ReceivedCall> Calls();
    Q_SCRIPTABLE void Reset();

    Q_SCRIPTABLE void EmitAttachFailed(uint code, const QString &reason);
    Q_SCRIPTABLE void EmitAttached(const QString &status);
    Q_SCRIPTABLE void EmitAvailable();
    Q_SCRIPTABLE void EmitDataCounters(qulonglong first, qulonglong second);
    Q_SCRIPTABLE void EmitDetached();
    Q_SCRIPTABLE void EmitStatus(); // the current contexts
    Q_SCRIPTABLE void EmitSuspended(uint code, const QString &reason);

Q_SIGNALS:
    // Sent for every call the service or a context receives, before it is answered.
    Q_SCRIPTABLE void CallReceived(
        const QString &path, const QString &interface, const QString &member, const QStringList &args);

private:
    GprsService *m_service;
};

#endif // SIMCONTROL_H
