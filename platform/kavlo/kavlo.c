/* libkavlo stand-in: the handset's packet-data library, working against the
 * cellular GPRS service on the system bus.
 *
 * Everything is asynchronous and runs from the GLib main loop the caller runs
 * (the shared system bus connection is attached to it by the caller): D-Bus
 * calls go out with replies awaited through pending-call notifications, and
 * /sbin/ifconfig runs as a child watched through a pidfd. No call blocks on
 * the service or on a program; every wait has a time limit. Callbacks only
 * ever come from the main loop, never from inside an API call, and the
 * callback is always the last thing done with a handle, so a caller may
 * mms_deinit from inside it. */
#define _GNU_SOURCE
#include "kavlo.h"

#include <arpa/inet.h>
#include <dbus/dbus.h>
#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pidfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "interfacename_p.h"

#define KAVLO_EXPORT __attribute__((visibility("default")))

_Static_assert(offsetof(struct mms_context_s, ifname) == 4, "ifname at 4");
_Static_assert(offsetof(struct mms_context_s, ip) == 20, "ip at 20");
_Static_assert(offsetof(struct mms_context_s, pdns) == 66, "pdns at 66");
_Static_assert(offsetof(struct mms_context_s, sdns) == 112, "sdns at 112");

#define GPRS_SERVICE "com.orvel.quelm.GPRS"
#define GPRS_PATH "/com/orvel/quelm/gprs"
#define GPRS_INTERFACE "com.orvel.quelm.GPRS"
#define CONTEXT_INTERFACE "com.orvel.quelm.GPRS.Context"
#define PROPERTIES_INTERFACE "org.freedesktop.DBus.Properties"
#define IFCONFIG "/sbin/ifconfig"
#define DETACHED_RULE                                                                                        \
    "type='signal',sender='" GPRS_SERVICE "',path='" GPRS_PATH "',interface='" GPRS_INTERFACE                \
    "',member='Detached'"

#define CONNECT_TIMEOUT_MS 60000 /* the service may have to attach first */
#define CALL_TIMEOUT_MS 10000
#define PROGRAM_TIMEOUT_S 30

enum state {
    ST_IDLE,
    ST_CONNECTING, /* QuickConnect sent */
    ST_READING, /* reading the context's properties */
    ST_CONFIGURING, /* ifconfig IFACE ADDR up running */
    ST_UP,
    ST_TAKING_DOWN, /* ifconfig IFACE down running */
    ST_DELETING /* Delete sent */
};

struct mms_settings_s
{
    char *apn;
    char *user;
    char *password;
};

typedef void (*child_done_fn)(mms_handle_t *h, int ok);

struct mms_handle_s
{
    DBusConnection *bus;
    enum state state;
    mms_callback_t callback;
    void *user_data;
    DBusPendingCall *pending;
    char *context_path;
    int property; /* index into properties[] being read */
    struct mms_context_s context;
    guint idle; /* deferred null callback */
    int in_call; /* inside mms_disconnect: callbacks wait for the main loop */

    pid_t child;
    int child_fd;
    guint child_watch;
    guint child_timeout;
    child_done_fn child_done;
};

static const struct
{
    const char *name;
    size_t offset;
    size_t size;
} properties[] = {
    { "PDPAddress", offsetof(struct mms_context_s, ip), MMS_ADDR_SIZE },
    { "PDNSAddress", offsetof(struct mms_context_s, pdns), MMS_ADDR_SIZE },
    { "SDNSAddress", offsetof(struct mms_context_s, sdns), MMS_ADDR_SIZE },
    { "NetIF", offsetof(struct mms_context_s, ifname), MMS_IFNAME_SIZE },
};

static void delete_context(mms_handle_t *h, int want_reply);

/* ---- validation: what the service says ends up on a command line ---- */

static int valid_ipv4(const char *s)
{
    struct in_addr a;
    return strlen(s) < MMS_ADDR_SIZE && inet_pton(AF_INET, s, &a) == 1;
}

static int valid_dns(const char *s)
{
    struct in6_addr a;
    return *s == '\0' || valid_ipv4(s) || (strlen(s) < MMS_ADDR_SIZE && inet_pton(AF_INET6, s, &a) == 1);
}

/* ---- callbacks ---- */

static void report(mms_handle_t *h, const struct mms_context_s *context)
{
    mms_callback_t cb = h->callback;
    void *user_data = h->user_data;
    if (cb)
        cb(context, user_data); /* may free h: nothing may touch it afterwards */
}

static void report_up(mms_handle_t *h)
{
    struct mms_context_s copy = h->context; /* outlives an mms_deinit from the callback */
    h->state = ST_UP;
    report(h, &copy);
}

static gboolean deferred_down(gpointer data)
{
    mms_handle_t *h = data;
    h->idle = 0;
    report(h, NULL);
    return G_SOURCE_REMOVE;
}

static void report_down(mms_handle_t *h)
{
    h->state = ST_IDLE;
    if (!h->in_call)
        report(h, NULL);
    else if (!h->idle)
        h->idle = g_idle_add(deferred_down, h);
}

/* ---- child programs ---- */

static void clear_child(mms_handle_t *h)
{
    if (h->child_watch)
        g_source_remove(h->child_watch);
    if (h->child_timeout)
        g_source_remove(h->child_timeout);
    if (h->child_fd >= 0)
        close(h->child_fd);
    h->child_watch = h->child_timeout = 0;
    h->child_fd = -1;
    h->child = 0;
}

static void kill_child(mms_handle_t *h)
{
    if (!h->child)
        return;
    kill(h->child, SIGKILL);
    waitpid(h->child, NULL, 0); /* prompt after SIGKILL */
    clear_child(h);
}

/* Returns 1 once the child has been reaped, with *ok telling exit code 0. */
static int reap_child(mms_handle_t *h, int *ok)
{
    int status = 0;
    pid_t r = waitpid(h->child, &status, WNOHANG);
    if (r == 0)
        return 0;
    *ok = r == h->child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return 1;
}

static void finish_child(mms_handle_t *h, int ok)
{
    child_done_fn done = h->child_done;
    clear_child(h);
    done(h, ok);
}

static gboolean child_fd_ready(gint fd, GIOCondition condition, gpointer data)
{
    (void)fd;
    (void)condition;
    mms_handle_t *h = data;
    int ok;
    if (!reap_child(h, &ok))
        return G_SOURCE_CONTINUE;
    h->child_watch = 0; /* removed by returning */
    finish_child(h, ok);
    return G_SOURCE_REMOVE;
}

static gboolean child_poll(gpointer data)
{
    return child_fd_ready(-1, 0, data);
}

static gboolean child_overdue(gpointer data)
{
    mms_handle_t *h = data;
    h->child_timeout = 0;
    kill(h->child, SIGKILL); /* the watch reaps it and reports failure */
    return G_SOURCE_REMOVE;
}

/* Runs /sbin/ifconfig with the given words, straight from an argument list:
 * no shell ever sees the service's texts. */
static int spawn_ifconfig(mms_handle_t *h, const char *const words[], child_done_fn done)
{
    const char *argv[5] = { IFCONFIG, NULL, NULL, NULL, NULL };
    for (int i = 0; i < 3 && words[i]; ++i)
        argv[i + 1] = words[i];

    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        execv(IFCONFIG, (char *const *)argv);
        _exit(127);
    }
    int err = errno;
    if (devnull >= 0)
        close(devnull);
    if (pid < 0)
        return -err;

    h->child = pid;
    h->child_done = done;
    h->child_fd = pidfd_open(pid, 0);
    if (h->child_fd >= 0)
        h->child_watch = g_unix_fd_add(h->child_fd, G_IO_IN, child_fd_ready, h);
    else
        h->child_watch = g_timeout_add(10, child_poll, h); /* kernel without pidfd */
    h->child_timeout = g_timeout_add_seconds(PROGRAM_TIMEOUT_S, child_overdue, h);
    return 0;
}

/* Takes an interface down without waiting: a grandchild runs ifconfig, the
 * child exits at once, so nothing is left to reap. For mms_deinit only. */
static void ifconfig_down_detached(const char *ifname)
{
    const char *argv[] = { IFCONFIG, ifname, "down", NULL };
    pid_t pid = fork();
    if (pid == 0) {
        if (fork() == 0) {
            execv(IFCONFIG, (char *const *)argv);
            _exit(127);
        }
        _exit(0);
    }
    if (pid > 0)
        waitpid(pid, NULL, 0);
}

/* ---- D-Bus ---- */

static void cancel_pending(mms_handle_t *h)
{
    if (!h->pending)
        return;
    dbus_pending_call_cancel(h->pending);
    dbus_pending_call_unref(h->pending);
    h->pending = NULL;
}

static int call_async(mms_handle_t *h, DBusMessage *msg, int timeout_ms, DBusPendingCallNotifyFunction fn)
{
    DBusPendingCall *pending = NULL;
    int sent = msg && dbus_connection_send_with_reply(h->bus, msg, &pending, timeout_ms);
    if (msg)
        dbus_message_unref(msg);
    if (!sent)
        return -ENOMEM;
    if (!pending)
        return -ENOTCONN;
    if (!dbus_pending_call_set_notify(pending, fn, h, NULL)) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
        return -ENOMEM;
    }
    h->pending = pending;
    return 0;
}

/* A QuickConnect whose caller went away: the service still makes a context,
 * which nobody would delete. Left to run on its own, its reply deletes it. */
static void orphan_answered(DBusPendingCall *pending, void *data)
{
    DBusConnection *bus = data;
    DBusMessage *reply = dbus_pending_call_steal_reply(pending);
    const char *path = NULL;
    if (reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN
        && dbus_message_has_signature(reply, "o"))
        dbus_message_get_args(reply, NULL, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
    DBusMessage *msg
        = path ? dbus_message_new_method_call(GPRS_SERVICE, path, CONTEXT_INTERFACE, "Delete") : NULL;
    if (msg) {
        dbus_message_set_no_reply(msg, TRUE);
        dbus_connection_send(bus, msg, NULL);
        dbus_message_unref(msg);
    }
    if (reply)
        dbus_message_unref(reply);
}

static void orphan_quick_connect(mms_handle_t *h)
{
    DBusPendingCall *pending = h->pending;
    h->pending = NULL;
    /* The connection keeps the call alive until it completes or times out. */
    if (!dbus_pending_call_set_notify(
            pending, orphan_answered, dbus_connection_ref(h->bus), (DBusFreeFunction)dbus_connection_unref))
        dbus_pending_call_cancel(pending);
    dbus_pending_call_unref(pending);
}

static DBusMessage *take_reply(mms_handle_t *h, DBusPendingCall *pending)
{
    DBusMessage *reply = dbus_pending_call_steal_reply(pending);
    dbus_pending_call_unref(pending);
    h->pending = NULL;
    if (reply && dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN) {
        dbus_message_unref(reply);
        reply = NULL;
    }
    return reply;
}

static void forget_context(mms_handle_t *h)
{
    free(h->context_path);
    h->context_path = NULL;
}

/* Opening failed after the service may have made a context: drop it there
 * too, then report. */
static void fail_open(mms_handle_t *h)
{
    if (h->context_path)
        delete_context(h, 0);
    report_down(h);
}

static void read_next_property(mms_handle_t *h);

static void property_read(DBusPendingCall *pending, void *data)
{
    mms_handle_t *h = data;
    DBusMessage *reply = take_reply(h, pending);
    char *field = (char *)&h->context + properties[h->property].offset;
    size_t size = properties[h->property].size;
    int required = h->property == 0 || h->property == 3; /* address and interface */
    int got = 0;

    DBusMessageIter it, variant;
    if (reply && dbus_message_has_signature(reply, "v") && dbus_message_iter_init(reply, &it)) {
        dbus_message_iter_recurse(&it, &variant);
        if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
            const char *text = NULL;
            dbus_message_iter_get_basic(&variant, &text);
            if (strlen(text) < size) {
                memcpy(field, text, strlen(text) + 1);
                got = 1;
            }
        }
    }
    if (reply)
        dbus_message_unref(reply);

    if (!got) {
        field[0] = '\0';
        if (required) {
            fail_open(h);
            return;
        }
    }
    h->property++;
    read_next_property(h);
}

static void configured(mms_handle_t *h, int ok)
{
    if (ok) {
        report_up(h);
    } else {
        /* The interface may be half set up; leave it to the next successful
         * configuration, which overwrites it. */
        fail_open(h);
    }
}

static void read_next_property(mms_handle_t *h)
{
    if (h->property < (int)(sizeof properties / sizeof properties[0])) {
        const char *iface = CONTEXT_INTERFACE;
        const char *name = properties[h->property].name;
        DBusMessage *msg
            = dbus_message_new_method_call(GPRS_SERVICE, h->context_path, PROPERTIES_INTERFACE, "Get");
        if (msg
            && !dbus_message_append_args(
                msg, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
            dbus_message_unref(msg);
            msg = NULL;
        }
        if (call_async(h, msg, CALL_TIMEOUT_MS, property_read) != 0)
            fail_open(h);
        return;
    }

    struct mms_context_s *c = &h->context;
    if (!tarnex_is_valid_interface_name(c->ifname, strlen(c->ifname)) || !valid_ipv4(c->ip)
        || !valid_dns(c->pdns) || !valid_dns(c->sdns)) {
        fail_open(h);
        return;
    }
    h->state = ST_CONFIGURING;
    const char *words[] = { c->ifname, c->ip, "up", NULL };
    if (spawn_ifconfig(h, words, configured) != 0)
        fail_open(h);
}

static void quick_connected(DBusPendingCall *pending, void *data)
{
    mms_handle_t *h = data;
    DBusMessage *reply = take_reply(h, pending);
    const char *path = NULL;
    if (reply && dbus_message_has_signature(reply, "o"))
        dbus_message_get_args(reply, NULL, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
    if (path)
        h->context_path = strdup(path);
    if (reply)
        dbus_message_unref(reply);
    if (!h->context_path) {
        report_down(h);
        return;
    }
    h->state = ST_READING;
    h->property = 0;
    read_next_property(h);
}

static void context_deleted(DBusPendingCall *pending, void *data)
{
    mms_handle_t *h = data;
    DBusMessage *reply = take_reply(h, pending);
    if (reply)
        dbus_message_unref(reply);
    report_down(h);
}

/* Deletes the service's context. With want_reply the closing waits for the
 * answer (ST_DELETING) and then reports; without, the call goes out and is
 * forgotten. Either way the path is forgotten. */
static void delete_context(mms_handle_t *h, int want_reply)
{
    DBusMessage *msg
        = dbus_message_new_method_call(GPRS_SERVICE, h->context_path, CONTEXT_INTERFACE, "Delete");
    forget_context(h);
    if (want_reply) {
        h->state = ST_DELETING;
        if (call_async(h, msg, CALL_TIMEOUT_MS, context_deleted) != 0)
            report_down(h);
        return;
    }
    if (msg) {
        dbus_message_set_no_reply(msg, TRUE);
        dbus_connection_send(h->bus, msg, NULL);
        dbus_message_unref(msg);
    }
}

static void taken_down(mms_handle_t *h, int ok)
{
    (void)ok; /* the context goes whatever ifconfig said */
    if (h->context_path)
        delete_context(h, 1);
    else
        report_down(h);
}

static void start_take_down(mms_handle_t *h)
{
    h->state = ST_TAKING_DOWN;
    const char *words[] = { h->context.ifname, "down", NULL };
    if (spawn_ifconfig(h, words, taken_down) != 0)
        taken_down(h, 0);
}

static DBusHandlerResult filter(DBusConnection *bus, DBusMessage *msg, void *data)
{
    (void)bus;
    mms_handle_t *h = data;
    if (!dbus_message_is_signal(msg, GPRS_INTERFACE, "Detached") || !dbus_message_has_path(msg, GPRS_PATH))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;

    switch (h->state) {
    case ST_CONNECTING:
    case ST_READING:
        cancel_pending(h);
        forget_context(h); /* went with the attachment */
        report_down(h);
        break;
    case ST_CONFIGURING:
    case ST_UP:
        kill_child(h);
        forget_context(h);
        start_take_down(h);
        break;
    default: /* idle, or already closing: that close reports */
        break;
    }
    /* Other users of the shared connection may want the signal too. */
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

/* ---- API ---- */

KAVLO_EXPORT mms_handle_t *mms_init(void)
{
    DBusConnection *bus = dbus_bus_get(DBUS_BUS_SYSTEM, NULL);
    if (!bus)
        return NULL;
    /* A library must not end its host process when the bus goes away. */
    dbus_connection_set_exit_on_disconnect(bus, FALSE);

    mms_handle_t *h = calloc(1, sizeof *h);
    if (!h || !dbus_connection_add_filter(bus, filter, h, NULL)) {
        free(h);
        dbus_connection_unref(bus);
        return NULL;
    }
    h->bus = bus;
    h->child_fd = -1;
    dbus_bus_add_match(bus, DETACHED_RULE, NULL); /* no error object: does not block */
    return h;
}

KAVLO_EXPORT void mms_deinit(mms_handle_t *h)
{
    if (!h)
        return;
    if (h->idle)
        g_source_remove(h->idle);
    if (h->state == ST_CONNECTING)
        orphan_quick_connect(h);
    cancel_pending(h);
    kill_child(h);
    if (h->state == ST_CONFIGURING || h->state == ST_UP || h->state == ST_TAKING_DOWN)
        ifconfig_down_detached(h->context.ifname);
    if (h->context_path)
        delete_context(h, 0);
    dbus_bus_remove_match(h->bus, DETACHED_RULE, NULL);
    dbus_connection_remove_filter(h->bus, filter, h);
    dbus_connection_unref(h->bus);
    free(h);
}

/* D-Bus strings are UTF-8 (libdbus aborts on anything else); 8-bit text that
 * is not UTF-8 is taken as Latin-1. */
static char *utf8_copy(const char *text)
{
    if (!text)
        return strdup("");
    if (g_utf8_validate(text, -1, NULL))
        return strdup(text);
    gchar *converted = g_convert(text, -1, "UTF-8", "ISO-8859-1", NULL, NULL, NULL);
    char *copy = converted ? strdup(converted) : NULL;
    g_free(converted);
    return copy;
}

KAVLO_EXPORT mms_settings_t *mms_settings_create(const char *apn, const char *user, const char *password)
{
    mms_settings_t *s = calloc(1, sizeof *s);
    if (!s)
        return NULL;
    s->apn = utf8_copy(apn);
    s->user = utf8_copy(user);
    s->password = utf8_copy(password);
    if (!s->apn || !s->user || !s->password) {
        mms_settings_destroy(s);
        return NULL;
    }
    return s;
}

KAVLO_EXPORT void mms_settings_destroy(mms_settings_t *s)
{
    if (!s)
        return;
    free(s->apn);
    free(s->user);
    if (s->password) {
        explicit_bzero(s->password, strlen(s->password));
        free(s->password);
    }
    free(s);
}

KAVLO_EXPORT int mms_connect(mms_handle_t *h, mms_settings_t *s, mms_callback_t callback, void *user_data)
{
    if (!h || !s || !callback)
        return -EINVAL;
    if (h->state != ST_IDLE)
        return -EBUSY;
    if (!dbus_connection_get_is_connected(h->bus))
        return -ENOTCONN;

    const char *protocol = "IP";
    DBusMessage *msg = dbus_message_new_method_call(GPRS_SERVICE, GPRS_PATH, GPRS_INTERFACE, "QuickConnect");
    if (!msg)
        return -ENOMEM;
    if (!dbus_message_append_args(msg, DBUS_TYPE_STRING, &s->apn, DBUS_TYPE_STRING, &protocol,
            DBUS_TYPE_STRING, &s->user, DBUS_TYPE_STRING, &s->password, DBUS_TYPE_INVALID)) {
        dbus_message_unref(msg);
        return -ENOMEM;
    }

    memset(&h->context, 0, sizeof h->context);
    forget_context(h);
    int r = call_async(h, msg, CONNECT_TIMEOUT_MS, quick_connected);
    if (r != 0)
        return r;
    h->callback = callback;
    h->user_data = user_data;
    h->state = ST_CONNECTING;
    return 0;
}

KAVLO_EXPORT int mms_disconnect(mms_handle_t *h)
{
    if (!h)
        return -EINVAL;
    if (!h->callback)
        return -ENOTCONN;

    h->in_call = 1;
    switch (h->state) {
    case ST_CONNECTING:
        orphan_quick_connect(h);
        report_down(h);
        break;
    case ST_READING:
        cancel_pending(h);
        delete_context(h, 1);
        break;
    case ST_CONFIGURING:
    case ST_UP:
        kill_child(h);
        start_take_down(h);
        break;
    case ST_TAKING_DOWN:
    case ST_DELETING:
        break; /* already closing; that close reports */
    case ST_IDLE:
        report_down(h);
        break;
    }
    h->in_call = 0;
    return 0;
}
