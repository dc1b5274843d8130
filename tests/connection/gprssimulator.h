#ifndef GPRSSIMULATOR_H
#define GPRSSIMULATOR_H

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QList>
#include <QStringList>

// Drives gprs-sim's control interface (started by with-bus --sim).
class GprsSimulator
{
public:
    struct Call
    {
        QString path;
        QString interface;
        QString member;
        QStringList args;
    };

    bool start()
    {
        QDBusReply<bool> owned = QDBusConnection::systemBus().interface()->isServiceRegistered(
            QStringLiteral("org.tarnex.GprsSimulator"));
        if (!owned.isValid() || !owned.value()) {
            m_error = QStringLiteral("gprs-sim is not on the bus: run through with-bus --sim gprs-sim");
            return false;
        }
        return true;
    }
    QString errorString() const { return m_error; }

    bool reset() { return ok(call("Reset")); }
    bool failNext(
        const QString &member, const QString &name, const QString &message = QStringLiteral("scripted"))
    {
        return ok(call("FailNext", { member, name, message }));
    }
    bool omitProperty(const QString &name) { return ok(call("OmitProperty", { name })); }
    bool setContextProperty(const QString &name, const QString &value)
    {
        const QDBusMessage reply = call("SetContextProperty", { name, value });
        return ok(reply) && reply.arguments().value(0).toBool();
    }
    bool setServicePresent(bool present) { return ok(call("SetServicePresent", { present })); }
    bool emitAttached(const QString &status) { return ok(call("EmitAttached", { status })); }
    bool emitAttachFailed(uint code, const QString &reason)
    {
        return ok(call("EmitAttachFailed", { code, reason }));
    }
    bool emitAvailable() { return ok(call("EmitAvailable")); }
    bool emitDetached() { return ok(call("EmitDetached")); }
    bool emitSuspended(uint code, const QString &reason)
    {
        return ok(call("EmitSuspended", { code, reason }));
    }

    // Calls the service received since the last clearCalls() or reset().
    QList<Call> calls()
    {
        QList<Call> out;
        const QDBusMessage reply = call("Calls");
        if (!ok(reply))
            return out;
        const QDBusArgument arg = reply.arguments().value(0).value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            Call c;
            arg.beginStructure();
            arg >> c.path >> c.interface >> c.member >> c.args;
            arg.endStructure();
            out << c;
        }
        arg.endArray();
        return out.mid(m_seen);
    }
    void clearCalls()
    {
        m_seen = 0;
        m_seen = calls().size();
    }

private:
    QDBusMessage call(const char *member, const QVariantList &args = {})
    {
        QDBusMessage msg
            = QDBusMessage::createMethodCall(QStringLiteral("org.tarnex.GprsSimulator"), QStringLiteral("/"),
                QStringLiteral("org.tarnex.GprsSimulator.Control"), QString::fromLatin1(member));
        msg.setArguments(args);
        if (qstrcmp(member, "Reset") == 0)
            m_seen = 0;
        return QDBusConnection::systemBus().call(msg);
    }
    bool ok(const QDBusMessage &reply)
    {
        if (reply.type() == QDBusMessage::ErrorMessage) {
            m_error = reply.errorMessage();
            return false;
        }
        return true;
    }

    QString m_error;
    int m_seen = 0;
};

#endif // GPRSSIMULATOR_H
