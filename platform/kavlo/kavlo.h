#ifndef KAVLO_H
#define KAVLO_H

/* libkavlo: the handset's packet-data library. It brings the MMS packet-data
 * connection up and down through the cellular GPRS service and reports the
 * outcome through one callback, called from GLib's default main context (the
 * one Qt's event loop runs on the main thread). The system bus connection it
 * uses is the process's shared one (dbus_bus_get); the caller attaches that
 * connection to the same main context before mms_init. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MMS_IFNAME_SIZE 16 /* IFNAMSIZ */
#define MMS_ADDR_SIZE 46 /* INET6_ADDRSTRLEN */

/* The connection that came up. Text fields are NUL-terminated when the
 * library fills them; readers still bound every read by the field size. */
struct mms_context_s
{
    uint32_t status; /* 0: up */
    char ifname[MMS_IFNAME_SIZE]; /* network interface carrying the connection */
    char ip[MMS_ADDR_SIZE]; /* address of the device on it */
    char pdns[MMS_ADDR_SIZE]; /* primary DNS server, may be empty */
    char sdns[MMS_ADDR_SIZE]; /* secondary DNS server, may be empty */
};

typedef struct mms_handle_s mms_handle_t;
typedef struct mms_settings_s mms_settings_t;

/* Called with the filled context when the connection is up (valid only during
 * the call), and with a null context when opening failed or the connection is
 * lost or closed. */
typedef void (*mms_callback_t)(const struct mms_context_s *context, void *user_data);

/* A handle on the system bus, or null when the bus is not reachable. */
mms_handle_t *mms_init(void);

/* Cancels whatever the handle still has running; no callback follows. */
void mms_deinit(mms_handle_t *handle);

/* Keeps its own copies of the three texts. Null when out of memory. */
mms_settings_t *mms_settings_create(const char *apn, const char *user, const char *password);
void mms_settings_destroy(mms_settings_t *settings);

/* Starts opening the connection described by settings; the settings object
 * may be destroyed as soon as this returns. 0 when the request was sent,
 * otherwise a negative errno value: -EINVAL (missing argument), -EBUSY (a
 * connection is already opening or up on this handle), -ENOTCONN (system bus
 * gone), -ENOMEM. Exactly one callback follows an accepted request, and one
 * more (null) when that connection is later lost or closed. */
int mms_connect(mms_handle_t *handle, mms_settings_t *settings, mms_callback_t callback, void *user_data);

/* Takes the connection down (interface, then the service's context) and
 * reports it through the callback with a null context; with nothing open the
 * null callback still follows, from the main loop. 0; -EINVAL without a
 * handle, -ENOTCONN when mms_connect never gave a callback to report to. */
int mms_disconnect(mms_handle_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* KAVLO_H */
