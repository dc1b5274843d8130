#include "gprsservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QTextStream>
#include <QTimer>

#include "contextobject.h"
#include "gprsserviceadaptor.h"

const char *const GprsService::ServiceName = "com.orvel.quelm.GPRS";
const char *const GprsService::ServicePath = "/com/orvel/quelm/gprs";
const char *const GprsService::ContextInterface = "com.orvel.quelm.GPRS.Context";

namespace {
const QLatin1String PropertiesInterface("org.freedesktop.DBus.Properties");

QString argumentText(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return value.value<QDBusVariant>().variant().toString();
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}
} // namespace

GprsService::GprsService(const ContextSettings &settings, bool verbose, QObject *parent)
    : QObject(parent)
    , m_defaults(settings)
    , m_settings(settings)
    , m_verbose(verbose)
    , m_attach_mode(QStringLiteral("auto"))
    , m_class_c_mode(QStringLiteral("auto"))
{
    GprsContext::registerTypes();
    new GprsServiceAdaptor(this);
}

GprsService::~GprsService() = default;

bool GprsService::start(QString *error)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QLatin1String(ServicePath), this, QDBusConnection::ExportAdaptors)) {
        *error = QStringLiteral("cannot register %1: %2")
                     .arg(QLatin1String(ServicePath), bus.lastError().message());
        return false;
    }
    if (!setPresent(true)) {
        *error
            = QStringLiteral("cannot own %1: %2").arg(QLatin1String(ServiceName), bus.lastError().message());
        return false;
    }
    return true;
}

bool GprsService::setPresent(bool present)
{
    if (present == m_present)
        return true;
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    if (present) {
        QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply
            = bus->registerService(QLatin1String(ServiceName), QDBusConnectionInterface::DontQueueService,
                QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered)
            return false;
    } else if (!bus->unregisterService(QLatin1String(ServiceName)).value()) {
        return false;
    }
    m_present = present;
    return true;
}

qulonglong GprsService::rxBytes() const
{
    qulonglong sum = 0;
    for (const Context &c : m_contexts)
        sum += c.record.rx;
    return sum;
}

qulonglong GprsService::txBytes() const
{
    qulonglong sum = 0;
    for (const Context &c : m_contexts)
        sum += c.record.tx;
    return sum;
}

void GprsService::failNext(const QString &member, const QString &errorName, const QString &errorMessage)
{
    m_failures[member].append({ errorName, errorMessage });
}

void GprsService::holdNext(const QString &member, int milliseconds)
{
    // 0 would mean "answer now" below; a hold is at least one event-loop turn.
    m_holds[member].append(milliseconds == 0 ? 1 : milliseconds);
}

void GprsService::releaseHeld()
{
    const QList<Held> held = m_held;
    m_held.clear();
    for (const Held &h : held)
        h.connection.send(h.reply);
}

void GprsService::omitProperty(const QString &name)
{
    m_omitted.insert(name);
}

bool GprsService::setContextProperty(const QString &name, const QString &value)
{
    if (name == QLatin1String("PDPAddress"))
        m_settings.address = value;
    else if (name == QLatin1String("PDNSAddress"))
        m_settings.primaryDns = value;
    else if (name == QLatin1String("SDNSAddress"))
        m_settings.secondaryDns = value;
    else if (name == QLatin1String("NetIF"))
        m_settings.interfaceName = value;
    else
        return false;
    return true;
}

QDBusObjectPath GprsService::addContext(const GprsContext &record)
{
    return newContext(record);
}

void GprsService::reset()
{
    // Held replies are dropped, not sent: a caller still waiting gets its
    // timeout, as it would from a service that lost the request.
    m_held.clear();
    m_failures.clear();
    m_holds.clear();
    m_omitted.clear();
    m_calls.clear();
    const QStringList paths = m_contexts.keys();
    for (const QString &path : paths)
        removeContext(path);
    m_settings = m_defaults;
    m_attach_mode = m_class_c_mode = QStringLiteral("auto");
    m_attached = m_available = true;
    m_status_interval = 0;
    setPresent(true);
}

GprsContextList GprsService::status() const
{
    GprsContextList list;
    for (auto it = m_contexts.cbegin(); it != m_contexts.cend(); ++it)
        list.insert(QDBusObjectPath(it.key()), it->record);
    return list;
}

GprsService::Verdict GprsService::receive(const QDBusMessage &message)
{
    ReceivedCall call { message.path(), message.interface(), message.member(), {} };
    for (const QVariant &arg : message.arguments())
        call.args << argumentText(arg);
    m_calls.append(call);
    if (m_verbose)
        QTextStream(stderr) << "gprs-sim: " << call.path << ' ' << call.interface << '.' << call.member << '('
                            << call.args.join(QLatin1Char(',')) << ")\n";
    emit callReceived(call);

    Verdict verdict;
    auto failures = m_failures.find(call.member);
    if (failures != m_failures.end() && !failures->isEmpty()) {
        verdict.failed = true;
        verdict.failure = failures->takeFirst();
    }
    auto holds = m_holds.find(call.member);
    if (holds != m_holds.end() && !holds->isEmpty())
        verdict.holdMs = holds->takeFirst();
    return verdict;
}

void GprsService::finishSlot(const Verdict &verdict, const QList<QVariant> &result)
{
    if (!verdict.failed && verdict.holdMs == 0)
        return; // QtDBus sends the slot's return value
    setDelayedReply(true);
    const QDBusMessage reply = verdict.failed
        ? message().createErrorReply(verdict.failure.name, verdict.failure.message)
        : message().createReply(result);
    deliver(connection(), reply, verdict.holdMs);
}

void GprsService::deliver(const QDBusConnection &connection, const QDBusMessage &reply, int holdMs)
{
    if (holdMs == 0) {
        connection.send(reply);
        return;
    }
    const int id = m_next_held++;
    m_held.append({ id, connection, reply });
    if (holdMs > 0) {
        QTimer::singleShot(holdMs, this, [this, id] {
            for (int i = 0; i < m_held.size(); ++i) {
                if (m_held.at(i).id == id) {
                    const Held h = m_held.takeAt(i);
                    h.connection.send(h.reply);
                    return;
                }
            }
        });
    }
}

QDBusObjectPath GprsService::newContext(const GprsContext &record)
{
    const QString path = QStringLiteral("%1/context%2").arg(QLatin1String(ServicePath)).arg(m_next_context++);
    Context context;
    context.record = record;
    context.primaryDns = m_settings.primaryDns;
    context.secondaryDns = m_settings.secondaryDns;
    context.object = new ContextObject(this, path);
    QDBusConnection::systemBus().registerVirtualObject(path, context.object);
    m_contexts.insert(path, context);
    return QDBusObjectPath(path);
}

void GprsService::removeContext(const QString &path)
{
    auto it = m_contexts.find(path);
    if (it == m_contexts.end())
        return;
    QDBusConnection::systemBus().unregisterObject(path);
    // May be called from inside the object's own message handler.
    it->object->deleteLater();
    m_contexts.erase(it);
}

void GprsService::handleContextMessage(
    const QString &path, const QDBusMessage &message, const QDBusConnection &connection)
{
    const Verdict verdict = receive(message);
    if (verdict.failed) {
        deliver(connection, message.createErrorReply(verdict.failure.name, verdict.failure.message),
            verdict.holdMs);
        return;
    }
    auto it = m_contexts.find(path);
    if (it == m_contexts.end()) {
        deliver(connection,
            message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                QStringLiteral("No such context: ") + path),
            verdict.holdMs);
        return;
    }
    const QMap<QString, QString> properties {
        { QStringLiteral("PDPAddress"), it->record.addr },
        { QStringLiteral("PDNSAddress"), it->primaryDns },
        { QStringLiteral("SDNSAddress"), it->secondaryDns },
        { QStringLiteral("NetIF"), it->record.iface },
    };
    const QList<QVariant> args = message.arguments();
    QDBusMessage reply;
    if (message.interface() == PropertiesInterface && message.member() == QLatin1String("Get")) {
        const QString interface = args.value(0).toString();
        const QString name = args.value(1).toString();
        if (message.signature() != QLatin1String("ss")) {
            reply = message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("Get takes (ss)"));
        } else if (!interface.isEmpty() && interface != QLatin1String(ContextInterface)) {
            reply = message.createErrorReply(
                QDBusError::UnknownInterface, QStringLiteral("No such interface: ") + interface);
        } else if (!properties.contains(name) || m_omitted.contains(name)) {
            reply = message.createErrorReply(
                QDBusError::UnknownProperty, QStringLiteral("No such property: ") + name);
        } else {
            reply = message.createReply(QVariant::fromValue(QDBusVariant(properties.value(name))));
        }
    } else if (message.interface() == PropertiesInterface && message.member() == QLatin1String("GetAll")) {
        QVariantMap all;
        for (auto p = properties.cbegin(); p != properties.cend(); ++p) {
            if (!m_omitted.contains(p.key()))
                all.insert(p.key(), p.value());
        }
        reply = message.createReply(QVariant::fromValue(all));
    } else if (message.interface() == PropertiesInterface && message.member() == QLatin1String("Set")) {
        reply = message.createErrorReply(
            QDBusError::PropertyReadOnly, QStringLiteral("Context properties are read-only"));
    } else if ((message.interface().isEmpty() || message.interface() == QLatin1String(ContextInterface))
        && message.member() == QLatin1String("Delete") && args.isEmpty()) {
        removeContext(path);
        reply = message.createReply();
    } else {
        reply = message.createErrorReply(
            QDBusError::UnknownMethod, QStringLiteral("No such method: ") + message.member());
    }
    deliver(connection, reply, verdict.holdMs);
}

void GprsService::Attach()
{
    const Verdict verdict = receive(message());
    if (!verdict.failed) {
        m_attached = true;
        emit Attached(QStringLiteral("attached"));
    }
    finishSlot(verdict, {});
}

QDBusObjectPath GprsService::Create()
{
    const Verdict verdict = receive(message());
    if (verdict.failed) {
        finishSlot(verdict, {});
        return QDBusObjectPath();
    }
    GprsContext record;
    record.proto = QStringLiteral("IP");
    const QDBusObjectPath path = newContext(record);
    finishSlot(verdict, { QVariant::fromValue(path) });
    return path;
}

void GprsService::Detach()
{
    const Verdict verdict = receive(message());
    if (!verdict.failed) {
        m_attached = false;
        for (Context &c : m_contexts)
            c.record.active = false;
        emit Detached();
    }
    finishSlot(verdict, {});
}

GprsContextList GprsService::GetStatus()
{
    const Verdict verdict = receive(message());
    const GprsContextList list = verdict.failed ? GprsContextList() : status();
    finishSlot(verdict, { QVariant::fromValue(list) });
    return list;
}

QDBusObjectPath GprsService::QuickConnect(
    const QString &apn, const QString &proto, const QString &, const QString &)
{
    const Verdict verdict = receive(message());
    if (verdict.failed) {
        finishSlot(verdict, {});
        return QDBusObjectPath();
    }
    GprsContext record;
    record.apn = apn;
    record.proto = proto;
    record.iface = m_settings.interfaceName;
    record.addr = m_settings.address;
    record.active = true;
    const QDBusObjectPath path = newContext(record);
    finishSlot(verdict, { QVariant::fromValue(path) });
    return path;
}
