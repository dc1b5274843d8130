#ifndef GPRSSIMCONTROL_H
#define GPRSSIMCONTROL_H

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>

// Scripts gprs-sim on the private system bus (tests/launchers/with-bus). Each
// call returns once the simulator has taken it; a failed one warns. Members
// are named as the simulator gets them ("QuickConnect", "Get", "Delete"...).
class GprsSimControl
{
public:
    // The next call of `member` gets this D-Bus error (several queue up).
    bool failNext(const QString &member, const QString &error = "com.orvel.quelm.GPRS.Error.Failed")
    {
        return ok(invoke("FailNext", { member, error, "scripted failure" }));
    }
    // The next answer to `member` waits; negative: until releaseHeld() (reset() drops it).
    bool holdNext(const QString &member, int milliseconds = -1)
    {
        return ok(invoke("HoldNext", { member, milliseconds }));
    }
    bool releaseHeld() { return ok(invoke("ReleaseHeld")); }
    // Reads of this context property fail.
    bool omitProperty(const QString &name) { return ok(invoke("OmitProperty", { name })); }
    // A property ("PDPAddress", "PDNSAddress", "SDNSAddress", "NetIF") of contexts created afterwards.
    bool setContextProperty(const QString &name, const QString &value)
    {
        return invoke("SetContextProperty", { name, value }).arguments().value(0).toBool();
    }
    QDBusObjectPath addContext(const QString &apn, const QString &proto, const QString &iface,
        const QString &addr, bool active, qulonglong rx, qulonglong tx);
    bool setServicePresent(bool present) { return ok(invoke("SetServicePresent", { present })); }
    // No contexts, no script, empty call log.
    bool reset() { return ok(invoke("Reset")); }
    // Any of the service's signals by name, e.g. ("DataCounters", { qulonglong(1), qulonglong(2) }).
    bool emitSignal(const QString &name, const QVariantList &args = {})
    {
        return ok(invoke("Emit" + name, args));
    }

    // The arguments (as text) of each call of `member` since start or reset(), oldest first.
    QList<QStringList> calls(const QString &member);
    bool waitForCalls(const QString &member, int count = 1, int timeoutMs = 10000);

private:
    static bool ok(const QDBusMessage &reply) { return reply.type() == QDBusMessage::ReplyMessage; }
    QDBusMessage invoke(const QString &method, const QVariantList &args = {});
};

#endif // GPRSSIMCONTROL_H
