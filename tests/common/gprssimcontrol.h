#ifndef GPRSSIMCONTROL_H
#define GPRSSIMCONTROL_H

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QStringList>

// Scripts a running gprs-sim over its control interface on the system bus
// (the private bus that tests/launchers/with-bus sets up). Every call is
// synchronous: when it returns, the simulator has taken the instruction.
// A failed control call is reported with qWarning and a false/empty result.
//
// Members name the D-Bus method as the simulator receives it: "QuickConnect",
// "GetStatus", "Attach", "Create", "Detach" on the service object, "Get",
// "GetAll" and "Delete" on context objects.
class GprsSimControl : public QObject
{
    Q_OBJECT

public:
    struct Call
    {
        QString path;
        QString interface;
        QString member;
        QStringList args; // as text; variants and object paths unwrapped
    };

    explicit GprsSimControl(QObject *parent = nullptr);

    // The next call of `member` gets this D-Bus error (several queue up).
    bool failNext(const QString &member, const QString &errorName,
        const QString &errorMessage = QStringLiteral("scripted failure"))
    {
        return invoke("FailNext", { member, errorName, errorMessage });
    }
    // The next answer to `member` waits `milliseconds`; negative: until
    // releaseHeld(). reset() drops held answers unsent.
    bool holdNext(const QString &member, int milliseconds = -1)
    {
        return invoke("HoldNext", { member, milliseconds });
    }
    bool releaseHeld() { return invoke("ReleaseHeld"); }
    // Reads of this context property ("PDPAddress", "PDNSAddress",
    // "SDNSAddress", "NetIF") fail with UnknownProperty.
    bool omitProperty(const QString &name) { return invoke("OmitProperty", { name }); }
    // Value of one of those four properties for contexts created afterwards.
    bool setContextProperty(const QString &name, const QString &value);
    QDBusObjectPath addContext(const QString &apn, const QString &proto, const QString &iface,
        const QString &addr, bool active, qulonglong rx, qulonglong tx);
    // Releases or retakes "com.orvel.quelm.GPRS": an absent service.
    bool setServicePresent(bool present) { return invoke("SetServicePresent", { present }); }
    // Back to the state after start: no contexts, no script, empty call log.
    bool reset() { return invoke("Reset"); }

    bool emitDetached() { return invoke("EmitDetached"); }
    // Any of the simulator's signals by name, e.g. ("DataCounters", { qulonglong(1), qulonglong(2) }).
    bool emitSignal(const QString &name, const QList<QVariant> &args = {})
    {
        return invoke("Emit" + name, args);
    }

    // Calls received since start or the last reset(), oldest first.
    QList<Call> calls(const QString &member = QString());
    // Waits until the simulator has received `count` calls of `member` since
    // it started or was last reset.
    bool waitForCalls(const QString &member, int count = 1, int timeoutMs = 10000);

Q_SIGNALS:
    void callReceived();

private:
    bool invoke(const QString &method, const QList<QVariant> &args = {}, QList<QVariant> *results = nullptr);

    QDBusConnection m_bus;
};

#endif // GPRSSIMCONTROL_H
