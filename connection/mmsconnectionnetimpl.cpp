#include "mmsconnectionnetimpl.h"

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus.h>

#include <kavlo.h>

#include "tarnexdebug_p.h"

bool MmsConnectionNetImpl::m_glib_dbus_initialized = false;

namespace {
// The library fills these fields NUL-terminated, but a field that lacks its
// NUL must not make us read into the next one or past the record.
QString fieldText(const char *field, int size)
{
    return QString::fromLatin1(field, int(qstrnlen(field, uint(size))));
}
} // namespace

MmsConnectionNetImpl::MmsConnectionNetImpl()
    : m_mms_handle(nullptr)
{
    // The packet-data library talks over the process's shared system bus
    // connection; attaching it to the GLib main loop lets the Qt event loop
    // (GLib-based) dispatch its traffic and the library's callback. Once per
    // process: a failed attempt is not retried.
    if (!m_glib_dbus_initialized) {
        DBusConnection *bus = dbus_bus_get(DBUS_BUS_SYSTEM, nullptr);
        if (bus) {
            TARNEX_DEBUG << "D: [CONN] Registering DBus with event loop";
            dbus_connection_setup_with_g_main(bus, nullptr);
            dbus_connection_unref(bus);
        } else {
            qCritical("[CONN] Failed to get System DBus");
        }
        m_glib_dbus_initialized = true;
    }

    TARNEX_DEBUG << "D: [CONN] Init KAVLO";
    m_mms_handle = mms_init();
    if (!m_mms_handle)
        qCritical("[CONN] Unable to initialize MMS connection library");
}

MmsConnectionNetImpl::~MmsConnectionNetImpl()
{
    if (m_mms_handle)
        mms_deinit(m_mms_handle);
}

bool MmsConnectionNetImpl::openConnection(const QString &apn, const QString &user, const QString &pass)
{
    if (!m_mms_handle) {
        qCritical("[CONN] Couldn't open connection: KAVLO is not initialized");
        Q_EMIT connectionEstablished(1);
        return false;
    }

    TARNEX_DEBUG << "D: [LIBTARNEX] Open new GPRS connection: apn:" << apn << " user:" << user
                 << " pass:" << (pass.isEmpty() ? QString() : QStringLiteral("********"));

    mms_settings_t *settings;
    {
        // constData() of an empty or null array is "", never a null pointer.
        const QByteArray apnText = apn.toLatin1();
        const QByteArray userText = user.toLatin1();
        const QByteArray passText = pass.toLatin1();
        settings = mms_settings_create(apnText.constData(), userText.constData(), passText.constData());
    }

    const int result = mms_connect(m_mms_handle, settings, &MmsConnectionNetImpl::kavlo_callback, this);
    mms_settings_destroy(settings);

    TARNEX_DEBUG << "D: [LIBTARNEX] mms_connect returned:" << result;
    return result == 0;
}

bool MmsConnectionNetImpl::closeConnection()
{
    if (!m_mms_handle)
        return false;
    mms_disconnect(m_mms_handle);
    return true;
}

void MmsConnectionNetImpl::kavlo_callback(const mms_context_s *context, void *userData)
{
    auto *self = static_cast<MmsConnectionNetImpl *>(userData);
    if (context) {
        TARNEX_DEBUG << "I: [CONN] GPRS Connection is available";
        self->setIpAddress(fieldText(context->ip, sizeof(context->ip)));
        self->setInterfaceName(fieldText(context->ifname, sizeof(context->ifname)));
        self->setPrimaryDNS(fieldText(context->pdns, sizeof(context->pdns)));
        self->setSecondaryDNS(fieldText(context->sdns, sizeof(context->sdns)));
        Q_EMIT self->connectionEstablished(0);
    } else {
        TARNEX_DEBUG << "I: [CONN] GPRS Connection is lost or closed";
        Q_EMIT self->connectionEstablished(1);
    }
}
