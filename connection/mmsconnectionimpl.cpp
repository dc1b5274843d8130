#include "mmsconnectionimpl.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QStringList>

#include "addresscheck_p.h"
#include "commandrunner_p.h"
#include "connectionlimits_p.h"
#include "dnsresolver_p.h"
#include "gprsnames_p.h"
#include "tarnexdebug_p.h"

namespace {

const QString GprsService = QLatin1String(GprsNames::Service);
const QString ContextInterface = QLatin1String(GprsNames::ContextInterface);
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString Ifconfig = QStringLiteral("/sbin/ifconfig");
const QString Route = QStringLiteral("/sbin/route");

// Exit code of one program run, or -1 when it did not start, crashed or ran
// past the limit: such a run configured nothing and must not count as success.
int runCommand(const QString &program, const QStringList &arguments)
{
    return runProgram(program, arguments, connectionLimits().commandMs);
}

QString commandText(const QString &program, const QStringList &arguments)
{
    return (QStringList(program) + arguments).join(QLatin1Char(' '));
}

// Whether the commands may run with these values; warns about the first
// one that is refused. An address no host can own or reach, or the loopback
// interface, would take the handset's own traffic (a default route through
// lo, 127.0.0.1 routed out of the MMS interface) or be refused by the kernel.
bool acceptable(const QString &iface, const QString &address, const QString &routeTarget)
{
    if (!isValidInterfaceName(iface))
        qWarning() << "[CONN] Invalid interface name, connection not set up:" << iface;
    else if (isLoopbackInterface(iface))
        qWarning() << "[CONN] Loopback interface, connection not set up:" << iface;
    else if (!isValidAddress(address) || !isUnicastAddress(QHostAddress(address)))
        qWarning() << "[CONN] Invalid IP address, connection not set up:" << address;
    else if (!routeTarget.isEmpty()
        && (isValidAddress(routeTarget) ? !isUnicastAddress(QHostAddress(routeTarget))
                                        : !isValidHostName(routeTarget)))
        qWarning() << "[CONN] Invalid target address, connection not set up:" << routeTarget;
    else
        return true;
    return false;
}

// Whether the interface takes IPv6 routes: the kernel refuses them where
// IPv6 is off, and an MMS bearer is often IPv4 only.
bool hasIPv6(const QString &iface)
{
    QFile file(QStringLiteral("/proc/sys/net/ipv6/conf/%1/disable_ipv6").arg(iface));
    return file.open(QIODevice::ReadOnly) && file.readAll().trimmed() == "0";
}

// Host routes for a target given by name: the handset's own resolver may
// know another host of that name or none, so the name is asked of the
// context's DNS servers, through the MMS interface. Exit code of the first
// route command that failed, 0 when all are in, -1 when the name gave no
// address a route may go to.
int routeHostName(const QString &target, const QString &iface, const QStringList &dnsServers)
{
    DnsResolver resolver;
    resolver.setServers(dnsServers);
    resolver.setInterfaceName(iface);
    resolver.setTimeout(connectionLimits().lookupMs);
    const QList<QHostAddress> found = resolver.lookupBlocking(target);
    if (found.isEmpty()) {
        // Both values are checked (a host name, the servers as addresses): nothing to quote.
        qWarning().noquote() << QStringLiteral("[CONN] Target %1 not resolved through DNS %2 on %3 (%4), "
                                               "connection not set up")
                                    .arg(target, resolver.servers().join(QLatin1Char(' ')), iface,
                                        resolver.errorString());
        return -1;
    }
    TARNEX_DEBUG << "D: [LIBTARNEX] Target" << target << "resolved to" << found;

    // An answer naming an address a literal target could not be is not
    // trusted at all: it came from the same server as the rest.
    const bool ipv6 = hasIPv6(iface);
    QList<QHostAddress> addresses;
    for (const QHostAddress &address : found) {
        if (!isUnicastAddress(address)) {
            qWarning().noquote() << QStringLiteral("[CONN] Target %1 resolved to %2, which no route may "
                                                   "go to; connection not set up")
                                        .arg(target, address.toString());
            return -1;
        }
        if (address.protocol() == QAbstractSocket::IPv4Protocol || ipv6)
            addresses << address;
        else
            TARNEX_DEBUG << "D: [LIBTARNEX] IPv6 is off on" << iface << ", no route to" << address.toString();
    }
    if (addresses.isEmpty()) {
        qWarning().noquote() << QStringLiteral("[CONN] Target %1 resolved to IPv6 addresses only, and "
                                               "IPv6 is off on %2; connection not set up")
                                    .arg(target, iface);
        return -1;
    }

    // One command's limit for all of them, so that a long answer does not
    // stretch the caller's wait.
    const QDeadlineTimer limit(connectionLimits().commandMs);
    for (const QHostAddress &address : qAsConst(addresses)) {
        const QString text = address.toString();
        const QStringList routeArgs = address.protocol() == QAbstractSocket::IPv4Protocol
            ? QStringList { QStringLiteral("add"), text, QStringLiteral("dev"), iface }
            : QStringList { QStringLiteral("-A"), QStringLiteral("inet6"), QStringLiteral("add"),
                  text + QStringLiteral("/128"), QStringLiteral("dev"), iface };
        TARNEX_DEBUG << "D: Adding route: " << commandText(Route, routeArgs);
        const int result = runProgram(Route, routeArgs, int(qMax<qint64>(1, limit.remainingTime())));
        if (result != 0)
            return result;
    }
    return 0;
}

// A call that got no answer: the service did not reply in time, left the
// bus while the call was pending, or the bus itself went away.
bool unanswered(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return type == QDBusError::NoReply || type == QDBusError::Timeout || type == QDBusError::Disconnected;
}

// `step` says in the debug line what the deletion is part of.
QDBusMessage deleteContext(const QDBusObjectPath &context, const char *step)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        GprsService, context.path(), ContextInterface, QLatin1String(GprsNames::Delete));
    const QDBusMessage reply
        = QDBusConnection::systemBus().call(call, QDBus::Block, connectionLimits().deleteMs);
    TARNEX_DEBUG.nospace() << "D: [LIBTARNEX] " << step << " GPRS connection, " << GprsNames::ContextInterface
                           << '.' << GprsNames::Delete << " returned: " << reply.errorName();
    return reply;
}

// After a re-open has brought up a new context: the one it replaces would
// otherwise stay on the service, and its interface up, with nothing left
// that could take them down.
void releaseReplaced(const QString &iface, const QString &newIface, const QDBusObjectPath &context)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] Replacing GPRS connection:" << iface << " on " << context.path();
    if (iface != newIface && isValidInterfaceName(iface) && !isLoopbackInterface(iface)) {
        const QStringList downArgs = { iface, QStringLiteral("down") };
        const int result = runCommand(Ifconfig, downArgs);
        TARNEX_DEBUG << "D: [LIBTARNEX] Replacing GPRS connection, " << commandText(Ifconfig, downArgs)
                     << " returned:" << result;
    }
    const QDBusMessage reply = deleteContext(context, "Replacing");
    if (reply.type() == QDBusMessage::ErrorMessage)
        qWarning() << "[CONN] Could not delete replaced GPRS context" << context.path() << reply.errorName();
}

} // namespace

MmsConnectionImpl::MmsConnectionImpl()
    : m_connected(false)
{
    connect(&m_gprs, SIGNAL(Attached(QString)), this, SLOT(gprsAttached(QString)));
    connect(&m_gprs, SIGNAL(AttachFailed(uint, QString)), this, SLOT(gprsAttachFailed(uint, QString)));
    connect(&m_gprs, SIGNAL(Available()), this, SLOT(gprsAvailable()));
    connect(&m_gprs, SIGNAL(Detached()), this, SLOT(gprsDetached()));
    connect(&m_gprs, SIGNAL(Suspended(uint, QString)), this, SLOT(gprsSuspended(uint, QString)));
}

MmsConnectionImpl::~MmsConnectionImpl()
{
    if (m_connected)
        closeConnection();
}

bool MmsConnectionImpl::openConnection(const QString &apn, const QString &user, const QString &pass)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] Open new GPRS connection: apn:" << apn << " user:" << user
                 << " pass:" << (pass.isEmpty() ? QString(QLatin1String("")) : QStringLiteral("********"));

    QDBusMessage call = QDBusMessage::createMethodCall(GprsService, QLatin1String(GprsNames::Path),
        QLatin1String(GprsNames::Interface), QLatin1String(GprsNames::QuickConnect));
    call << apn << QStringLiteral("IP") << user << pass;
    return QDBusConnection::systemBus().callWithCallback(call, this,
        SLOT(connectionCallback(QDBusObjectPath)), SLOT(connectionError(QDBusError)),
        connectionLimits().quickConnectMs);
}

void MmsConnectionImpl::connectionCallback(QDBusObjectPath connectionContext)
{
    // A failed re-open must leave an open connection as it was: its context,
    // its interface and what the client reads about them.
    const bool wasOpen = m_connected;
    const QDBusObjectPath openContext = m_context_path;
    const QString openFields[4] = { ipAddress(), primaryDNS(), secondaryDNS(), interfaceName() };
    const QString &openInterface = openFields[3];

    m_context_path = connectionContext;

    QDBusConnection bus = QDBusConnection::systemBus();
    const auto &properties = GprsNames::ContextProperties;
    QString values[4];
    bool read[4] = { false, false, false, false };
    // A read the service does not answer ends the reads and the open: the
    // next ones would only wait as long, and the fields it leaves unread
    // could still hold a previous connection's values.
    bool answered = true;
    const int readLimit = connectionLimits().propertyReadMs;
    for (int i = 0; i < 4; ++i) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            GprsService, m_context_path.path(), PropertiesInterface, QStringLiteral("Get"));
        get << ContextInterface << QString::fromLatin1(properties[i]);
        const QDBusMessage message = bus.call(get, QDBus::Block, readLimit);
        if (unanswered(message)) {
            qWarning() << "[CONN] GPRS service did not answer the" << properties[i] << "read of"
                       << m_context_path.path() << "within" << readLimit << "ms, connection not set up";
            answered = false;
            break;
        }
        const QDBusReply<QDBusVariant> reply(message);
        if (reply.isValid()) {
            values[i] = reply.value().variant().toString();
            read[i] = true;
        }
    }
    if (read[0])
        setIpAddress(values[0]);
    if (read[1])
        setPrimaryDNS(values[1]);
    if (read[2])
        setSecondaryDNS(values[2]);
    if (read[3])
        setInterfaceName(values[3]);

    const QString iface = interfaceName();
    const QString address = ipAddress();
    const QString routeTarget = target();

    const bool valid = answered && acceptable(iface, address, routeTarget);

    int ifaceResult = -1;
    int routeResult = -1;
    if (valid) {
        const QStringList ifaceArgs = { iface, address, QStringLiteral("up") };
        TARNEX_DEBUG << "D: Configuring iface: " << commandText(Ifconfig, ifaceArgs);
        ifaceResult = runCommand(Ifconfig, ifaceArgs);

        if (!routeTarget.isEmpty() && !isValidAddress(routeTarget)) {
            // The look-up goes out through the interface, so it must be up.
            if (ifaceResult == 0)
                routeResult = routeHostName(routeTarget, iface, { primaryDNS(), secondaryDNS() });
        } else {
            QStringList routeArgs;
            if (routeTarget.isEmpty()) {
                qWarning() << "[CONN] No target address specified. Default route is added";
                routeArgs = QStringList { QStringLiteral("add"), QStringLiteral("default"),
                    QStringLiteral("dev"), iface };
            } else {
                routeArgs = QStringList { QStringLiteral("add"), routeTarget, QStringLiteral("dev"), iface };
            }
            TARNEX_DEBUG << "D: Adding route: " << commandText(Route, routeArgs);
            routeResult = runCommand(Route, routeArgs);
        }
    }

    if (ifaceResult == 0 && routeResult == 0) {
        m_connected = true;
        if (wasOpen && openContext != m_context_path)
            releaseReplaced(openInterface, iface, openContext);
        emit connectionEstablished(0);
        return;
    }

    // Undo what this attempt set up, so the handset is not left with a
    // context nobody will delete or an interface nobody will take down.
    TARNEX_DEBUG << "D: [LIBTARNEX] Undoing failed GPRS connection:" << iface << " on "
                 << m_context_path.path();
    if (ifaceResult == 0 && !(wasOpen && iface == openInterface)) {
        const QStringList downArgs = { iface, QStringLiteral("down") };
        const int downResult = runCommand(Ifconfig, downArgs);
        TARNEX_DEBUG << "D: [LIBTARNEX] Undoing GPRS connection, " << commandText(Ifconfig, downArgs)
                     << " returned:" << downResult;
    }
    if (!(wasOpen && m_context_path == openContext)) {
        const QDBusMessage reply = deleteContext(m_context_path, "Undoing");
        if (reply.type() == QDBusMessage::ErrorMessage)
            qWarning() << "[CONN] Could not delete GPRS context" << m_context_path.path()
                       << reply.errorName();
    }
    if (wasOpen) {
        m_context_path = openContext;
        setIpAddress(openFields[0]);
        setPrimaryDNS(openFields[1]);
        setSecondaryDNS(openFields[2]);
        setInterfaceName(openFields[3]);
    }
    emit connectionEstablished(1);
}

void MmsConnectionImpl::connectionError(QDBusError error)
{
    TARNEX_DEBUG << "D: [LIBTARNEX] Open GPRS connection error:" << error;
    emit connectionEstablished(error.type());
}

bool MmsConnectionImpl::closeConnection()
{
    if (!m_connected) {
        emit disconnected();
        return true;
    }

    const QString iface = interfaceName();
    TARNEX_DEBUG << "D: [LIBTARNEX] Close GPRS connection:" << iface << " on " << m_context_path.path();

    // The name was checked when the connection came up, but a client can have
    // changed the property since.
    if (isValidInterfaceName(iface) && !isLoopbackInterface(iface)) {
        const QStringList downArgs = { iface, QStringLiteral("down") };
        const int result = runCommand(Ifconfig, downArgs);
        TARNEX_DEBUG << "D: [LIBTARNEX] Closing GPRS connection, " << commandText(Ifconfig, downArgs)
                     << " returned:" << result;
    } else {
        qWarning() << "[CONN] Invalid interface name, not taken down:" << iface;
    }

    const QDBusMessage reply = deleteContext(m_context_path, "Closing");
    if (unanswered(reply))
        qWarning() << "[CONN] GPRS service did not answer Delete of" << m_context_path.path() << "within"
                   << connectionLimits().deleteMs << "ms";

    m_connected = false;
    return reply.type() != QDBusMessage::ErrorMessage;
}

void MmsConnectionImpl::gprsAttached(const QString &status)
{
    TARNEX_DEBUG << "D: [CONN] GPRS is attached (" << status << ")";
}

void MmsConnectionImpl::gprsAttachFailed(unsigned int code, const QString &reason)
{
    TARNEX_DEBUG << "D: [CONN] GPRS attach failed (code=" << code << ", " << reason << ")";
}

void MmsConnectionImpl::gprsAvailable()
{
    TARNEX_DEBUG << "D: [CONN] GPRS became available";
}

void MmsConnectionImpl::gprsDetached()
{
    TARNEX_DEBUG << "D: [CONN] GPRS is detached";
    emit disconnected();
}

void MmsConnectionImpl::gprsSuspended(unsigned int code, const QString &reason)
{
    TARNEX_DEBUG << "D: [CONN] GPRS is suspended (code=" << code << ", " << reason << ")";
}
