#include "simcontrol.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>

const char *const SimControl::ServiceName = "org.tarnex.GprsSimulator";
const char *const SimControl::ObjectPath = "/";

QDBusArgument &operator<<(QDBusArgument &argument, const ReceivedCall &call)
{
    argument.beginStructure();
    argument << call.path << call.interface << call.member << call.args;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ReceivedCall &call)
{
    argument.beginStructure();
    argument >> call.path >> call.interface >> call.member >> call.args;
    argument.endStructure();
    return argument;
}

SimControl::SimControl(GprsService *service, QObject *parent)
    : QObject(parent)
    , m_service(service)
{
    qDBusRegisterMetaType<ReceivedCall>();
    qDBusRegisterMetaType<QList<ReceivedCall>>();
    connect(service, &GprsService::callReceived, this, [this](const ReceivedCall &call) {
        emit CallReceived(call.path, call.interface, call.member, call.args);
    });
}

bool SimControl::start(QString *error)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QLatin1String(ObjectPath), this,
            QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals)) {
        *error = QStringLiteral("cannot register the control object: ") + bus.lastError().message();
        return false;
    }
    QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply
        = bus.interface()->registerService(QLatin1String(ServiceName),
            QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        *error = QStringLiteral("cannot own %1: %2").arg(QLatin1String(ServiceName), reply.error().message());
        return false;
    }
    return true;
}

void SimControl::FailNext(const QString &member, const QString &errorName, const QString &errorMessage)
{
    m_service->failNext(member, errorName, errorMessage);
}

void SimControl::HoldNext(const QString &member, int milliseconds)
{
    m_service->holdNext(member, milliseconds);
}

void SimControl::ReleaseHeld()
{
    m_service->releaseHeld();
}

void SimControl::OmitProperty(const QString &name)
{
    m_service->omitProperty(name);
}

bool SimControl::SetContextProperty(const QString &name, const QString &value)
{
    return m_service->setContextProperty(name, value);
}

QDBusObjectPath SimControl::AddContext(const QString &apn, const QString &proto, const QString &iface,
    const QString &addr, bool active, qulonglong rx, qulonglong tx)
{
    GprsContext record;
    record.apn = apn;
    record.proto = proto;
    record.iface = iface;
    record.addr = addr;
    record.active = active;
    record.rx = rx;
    record.tx = tx;
    return m_service->addContext(record);
}

void SimControl::SetServicePresent(bool present)
{
    m_service->setPresent(present);
}

QList<ReceivedCall> SimControl::Calls()
{
    return m_service->calls();
}

void SimControl::Reset()
{
    m_service->reset();
}

void SimControl::EmitAttachFailed(uint code, const QString &reason)
{
    emit m_service->AttachFailed(code, reason);
}

void SimControl::EmitAttached(const QString &status)
{
    emit m_service->Attached(status);
}

void SimControl::EmitAvailable()
{
    emit m_service->Available();
}

void SimControl::EmitDataCounters(qulonglong first, qulonglong second)
{
    emit m_service->DataCounters(first, second);
}

void SimControl::EmitDetached()
{
    emit m_service->Detached();
}

void SimControl::EmitStatus()
{
    emit m_service->Status(m_service->status());
}

void SimControl::EmitSuspended(uint code, const QString &reason)
{
    emit m_service->Suspended(code, reason);
}
