// GprsContext and GprsContextList read through QtDBus from arbitrary message
// bodies, as they arrive from the GPRS service.
//
// Input: byte 0 holds flags (bit 0: big-endian message; bits 1-2: body
// signature 0 "a{o(ssssbtt)}", 1 "(ssssbtt)", 2 "a{o(ssssbtt)}(ssssbtt)",
// 3 taken from the input: one length byte and that many signature bytes),
// then the body bytes. A signal message is put around them; what libdbus
// refuses is dropped (a real bus or peer never delivers it). The rest is sent
// over a real peer connection to QtDBus in this process, which hands each
// argument of one of the two types to the library's demarshalling. The
// records read must be exactly those libdbus reads from the same bytes.

#include "gprscontext.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServer>
#include <QDir>
#include <QEventLoop>
#include <QMultiHash>

#include <dbus/dbus.h>

#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            fail(#cond);                                                                                     \
    } while (0)

const char ListSignature[] = "a{o(ssssbtt)}";
const char ContextSignature[] = "(ssssbtt)";

struct Record
{
    QString path;
    GprsContext context;
};

// What libdbus itself reads from an argument of one of the two types.
GprsContext readContext(DBusMessageIter *structIter)
{
    DBusMessageIter it;
    dbus_message_iter_recurse(structIter, &it);
    GprsContext c;
    QString *strings[] = { &c.apn, &c.proto, &c.iface, &c.addr };
    for (QString *s : strings) {
        const char *v = nullptr;
        dbus_message_iter_get_basic(&it, &v);
        *s = QString::fromUtf8(v);
        dbus_message_iter_next(&it);
    }
    dbus_bool_t active = FALSE;
    dbus_message_iter_get_basic(&it, &active);
    c.active = active;
    dbus_message_iter_next(&it);
    dbus_uint64_t rx = 0, tx = 0;
    dbus_message_iter_get_basic(&it, &rx);
    dbus_message_iter_next(&it);
    dbus_message_iter_get_basic(&it, &tx);
    c.rx = rx;
    c.tx = tx;
    return c;
}

QList<Record> readList(DBusMessageIter *arrayIter)
{
    QList<Record> out;
    DBusMessageIter entries;
    dbus_message_iter_recurse(arrayIter, &entries);
    while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        const char *path = nullptr;
        dbus_message_iter_get_basic(&entry, &path);
        dbus_message_iter_next(&entry);
        out.append({ QString::fromUtf8(path), readContext(&entry) });
        dbus_message_iter_next(&entries);
    }
    return out;
}

// One expected argument: a list, or a single context (path left empty).
struct Expected
{
    bool isList;
    QList<Record> records;
};

class Peer : public QObject
{
    Q_OBJECT
public:
    QDBusServer *server = nullptr;
    QDBusConnection *connection = nullptr;
    DBusConnection *client = nullptr;
    QList<Expected> expected;
    bool delivered = false;
    bool ended = false;

public Q_SLOTS:
    void newConnection(const QDBusConnection &c)
    {
        connection = new QDBusConnection(c);
        CHECK(connection->connect(QString(), QStringLiteral("/fuzz"), QStringLiteral("org.example.Fuzz"),
            QStringLiteral("Data"), this, SLOT(data(QDBusMessage))));
        CHECK(connection->connect(QString(), QStringLiteral("/fuzz"), QStringLiteral("org.example.Fuzz"),
            QStringLiteral("End"), this, SLOT(end())));
    }

    void data(const QDBusMessage &message)
    {
        delivered = true;
        int next = 0;
        for (const QVariant &arg : message.arguments()) {
            if (arg.userType() != qMetaTypeId<QDBusArgument>())
                continue;
            const QDBusArgument a = arg.value<QDBusArgument>();
            const QString signature = a.currentSignature();
            if (signature == QLatin1String(ListSignature)) {
                CHECK(next < expected.size() && expected.at(next).isList);
                const GprsContextList list = qdbus_cast<GprsContextList>(a);
                const QList<Record> &want = expected.at(next++).records;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
                // Every entry is kept, also a second one for the same path.
                CHECK(list.size() == want.size());
                QMultiHash<QDBusObjectPath, GprsContext> got(list);
                for (const Record &r : want)
                    CHECK(got.values(QDBusObjectPath(r.path)).contains(r.context));
#else
                // Qt 6's QHash holds one value per key: of a path given twice
                // (a corrupt dict, which D-Bus need not refuse) the last entry
                // is kept, the one a lookup also gives under Qt 5.
                QHash<QString, GprsContext> last;
                for (const Record &r : want)
                    last.insert(r.path, r.context);
                CHECK(list.size() == last.size());
                for (auto it = last.cbegin(); it != last.cend(); ++it)
                    CHECK(list.value(QDBusObjectPath(it.key())) == it.value());
#endif
            } else if (signature == QLatin1String(ContextSignature)) {
                CHECK(next < expected.size() && !expected.at(next).isList);
                const GprsContext c = qdbus_cast<GprsContext>(a);
                CHECK(c == expected.at(next++).records.first().context);
            }
        }
        CHECK(next == expected.size());
    }

    void end()
    {
        ended = true;
    }
};

Peer *peer = nullptr;
quint32 serial = 0;

void put32(QByteArray &b, quint32 v, bool big)
{
    for (int i = 0; i < 4; ++i)
        b.append(char(big ? (v >> (24 - 8 * i)) & 0xff : (v >> (8 * i)) & 0xff));
}

void align(QByteArray &b, int to)
{
    while (b.size() % to)
        b.append('\0');
}

void stringField(QByteArray &b, char code, char type, const QByteArray &value, bool big)
{
    align(b, 8);
    b.append(code);
    b.append('\1');
    b.append(type);
    b.append('\0');
    if (type == 'g') {
        b.append(char(value.size()));
    } else {
        align(b, 4);
        put32(b, quint32(value.size()), big);
    }
    b.append(value);
    b.append('\0');
}

// The wire form of a signal /fuzz org.example.Fuzz.Data with the given body.
QByteArray wireMessage(const QByteArray &signature, const QByteArray &body, bool big)
{
    QByteArray fields;
    fields.append(QByteArray(16, '\0')); // keeps the fields' alignment as in the message
    stringField(fields, 1, 'o', "/fuzz", big);
    stringField(fields, 2, 's', "org.example.Fuzz", big);
    stringField(fields, 3, 's', "Data", big);
    if (!signature.isEmpty())
        stringField(fields, 8, 'g', signature, big);
    const int fieldsLength = fields.size() - 16;

    QByteArray m;
    m.append(big ? 'B' : 'l');
    m.append(char(DBUS_MESSAGE_TYPE_SIGNAL));
    m.append('\0');
    m.append('\1');
    put32(m, quint32(body.size()), big);
    put32(m, ++serial, big);
    put32(m, quint32(fieldsLength), big);
    m.append(fields.mid(16));
    align(m, 8);
    m.append(body);
    return m;
}

void setUp()
{
    static int argc = 1;
    static char name[] = "fuzz_gprscontext";
    static char *argv[] = { name, nullptr };
    new QCoreApplication(argc, argv);
    GprsContext::registerTypes();
    peer = new Peer;
    peer->server = new QDBusServer(QStringLiteral("unix:tmpdir=") + QDir::tempPath());
    CHECK(peer->server->isConnected());
    QObject::connect(peer->server, &QDBusServer::newConnection, peer, &Peer::newConnection);

    DBusError error;
    dbus_error_init(&error);
    peer->client = dbus_connection_open_private(peer->server->address().toUtf8().constData(), &error);
    CHECK(peer->client);
    dbus_connection_set_exit_on_disconnect(peer->client, FALSE);
    // The handshake needs both sides to move: the client's here, the
    // server's in QtDBus's own thread.
    while (!peer->connection) {
        dbus_connection_read_write(peer->client, 10);
        QCoreApplication::processEvents();
    }
}

} // namespace

// Warnings about refused values are expected by the thousand; writing them
// would only slow the run down.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 1)
        return 0;
    if (!peer)
        setUp();

    const bool big = bytes[0] & 1;
    const int choice = (bytes[0] >> 1) & 3;
    const char *p = reinterpret_cast<const char *>(bytes) + 1;
    const char *end = reinterpret_cast<const char *>(bytes) + size;
    QByteArray signature;
    switch (choice) {
    case 0:
        signature = ListSignature;
        break;
    case 1:
        signature = ContextSignature;
        break;
    case 2:
        signature = QByteArray(ListSignature) + ContextSignature;
        break;
    default: {
        if (p >= end)
            return 0;
        const int wanted = uchar(*p++);
        const int n = qMin<int>(wanted, int(end - p));
        signature = QByteArray(p, n);
        p += n;
    }
    }
    const QByteArray wire = wireMessage(signature, QByteArray(p, int(end - p)), big);

    DBusError error;
    dbus_error_init(&error);
    DBusMessage *message = dbus_message_demarshal(wire.constData(), wire.size(), &error);
    if (!message) {
        dbus_error_free(&error);
        return 0;
    }

    peer->expected.clear();
    DBusMessageIter args;
    if (dbus_message_iter_init(message, &args)) {
        do {
            char *s = dbus_message_iter_get_signature(&args);
            if (qstrcmp(s, ListSignature) == 0)
                peer->expected.append({ true, readList(&args) });
            else if (qstrcmp(s, ContextSignature) == 0)
                peer->expected.append({ false, { { QString(), readContext(&args) } } });
            dbus_free(s);
        } while (dbus_message_iter_next(&args));
    }

    DBusMessage *endMessage = dbus_message_new_signal("/fuzz", "org.example.Fuzz", "End");
    peer->delivered = false;
    peer->ended = false;
    CHECK(dbus_connection_send(peer->client, message, nullptr));
    CHECK(dbus_connection_send(peer->client, endMessage, nullptr));
    dbus_connection_flush(peer->client);
    dbus_message_unref(message);
    dbus_message_unref(endMessage);
    // Messages of one connection arrive in order: once End is here, the data
    // message has been handled (or refused by QtDBus).
    while (!peer->ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    CHECK(peer->delivered);
    return 0;
}

#include "fuzz_gprscontext.moc"
