// benchconnect: connection bring-up and take-down, the library against its floor.
//
//   benchconnect CYCLES TARGET [NAME]
//
// Runs only inside a private network namespace whose GPRS simulator hands out
// an interface that exists there (benchrun starts it through in-netns and
// with-bus). Each cycle measures, one right after the other:
//   impl   MmsConnectionImpl: openConnection() until connectionEstablished(0),
//          then closeConnection();
//   floor  the same D-Bus calls made synchronously (QuickConnect, the four
//          property reads; Delete) and the same commands spawned directly
//          with posix_spawn (ifconfig up, route add; ifconfig down): what
//          bring-up costs without the library.
//   qfloor the floor with the commands run through QProcess, as the library
//          runs them.
// With NAME, a dnsmasq in the peer namespace (TARNEX_PEER_PID) answers NAME
// with TARGET on TARGET:53, where the simulator's primary DNS must point, and
// each cycle also measures:
//   named       MmsConnectionImpl with NAME as its target;
//   namedfloor  the posix_spawn floor with one DNS query for NAME's A record
//               (a UDP socket bound to the interface) before route add.
// Prints "impl OPEN_MS CLOSE_MS", "floor ...", "qfloor ..." and, with NAME,
// "named ..." and "namedfloor ..." per cycle.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mmsconnectionimpl.h"

extern char **environ;

namespace {

const QString Service = QStringLiteral("com.orvel.quelm.GPRS");

int fail(const char *what)
{
    std::fprintf(stderr, "benchconnect: %s\n", what);
    return 1;
}

// How the floor runs a command: posix_spawn (what the system allows) or
// QProcess (what the library's own mechanism costs, without the library).
bool g_useQProcess = false;

bool runQProcess(std::initializer_list<const char *> argv)
{
    QStringList args;
    for (const char *a : argv)
        args << QString::fromLatin1(a);
    QProcess process;
    process.start(args.takeFirst(), args, QIODevice::ReadWrite);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

bool run(std::initializer_list<const char *> argv)
{
    if (g_useQProcess)
        return runQProcess(argv);
    std::vector<char *> args;
    for (const char *a : argv)
        args.push_back(const_cast<char *>(a));
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) { }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One A query for `name` to `server`:53 from a socket bound to `iface`, the
// least a host-name target can cost; the first address of the answer.
QByteArray resolveA(const QByteArray &server, const QByteArray &iface, const QByteArray &name)
{
    QByteArray query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    for (const QByteArray &label : name.split('.'))
        query += char(label.size()) + label;
    query += QByteArray("\x00\x00\x01\x00\x01", 5);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    if (inet_pton(AF_INET, server.constData(), &to.sin_addr) != 1)
        return QByteArray();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QByteArray address;
    unsigned char answer[512];
    pollfd p { fd, POLLIN, 0 };
    if (fd >= 0
        && setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface.constData(), socklen_t(iface.size())) == 0
        && sendto(
               fd, query.constData(), size_t(query.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to)
            == query.size()
        && poll(&p, 1, 2000) == 1) {
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        // Header, the question as sent, then the first answer: a name
        // pointer (2), type, class, TTL, length (10) and 4 address bytes.
        const ssize_t at = query.size() + 12;
        if (n >= at + 4 && (answer[3] & 0x0f) == 0 && answer[7] > 0) {
            char text[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, answer + at, text, sizeof text))
                address = text;
        }
    }
    if (fd >= 0)
        ::close(fd);
    return address;
}

struct Floor
{
    QDBusObjectPath context;
    QByteArray iface, address;

    // With `name`, the route goes to the address the context's primary DNS
    // server gives for it.
    bool open(const QByteArray &target, const QByteArray &name = QByteArray())
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        QDBusMessage call = QDBusMessage::createMethodCall(
            Service, QStringLiteral("/com/orvel/quelm/gprs"), Service, QStringLiteral("QuickConnect"));
        call << QStringLiteral("mms") << QStringLiteral("IP") << QString() << QString();
        QDBusReply<QDBusObjectPath> path = bus.call(call, QDBus::Block, 60000);
        if (!path.isValid())
            return false;
        context = path.value();
        QString values[4];
        static const char *const properties[] = { "PDPAddress", "PDNSAddress", "SDNSAddress", "NetIF" };
        for (int i = 0; i < 4; ++i) {
            QDBusMessage get = QDBusMessage::createMethodCall(Service, context.path(),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
            get << QStringLiteral("com.orvel.quelm.GPRS.Context") << QString::fromLatin1(properties[i]);
            QDBusReply<QDBusVariant> reply = bus.call(get);
            if (!reply.isValid())
                return false;
            values[i] = reply.value().variant().toString();
        }
        address = values[0].toLatin1();
        iface = values[3].toLatin1();
        if (!run({ "/sbin/ifconfig", iface.constData(), address.constData(), "up" }))
            return false;
        const QByteArray destination = name.isEmpty() ? target : resolveA(values[1].toLatin1(), iface, name);
        return !destination.isEmpty()
            && run({ "/sbin/route", "add", destination.constData(), "dev", iface.constData() });
    }

    bool close()
    {
        const bool down = run({ "/sbin/ifconfig", iface.constData(), "down" });
        QDBusMessage del = QDBusMessage::createMethodCall(Service, context.path(),
            QStringLiteral("com.orvel.quelm.GPRS.Context"), QStringLiteral("Delete"));
        return QDBusConnection::systemBus().call(del).type() != QDBusMessage::ErrorMessage && down;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: benchconnect CYCLES TARGET [NAME]\n");
        return 2;
    }
    // ifconfig and route change the network: never outside a private namespace.
    if (qEnvironmentVariableIsEmpty("TARNEX_NETNS"))
        return fail("not started by in-netns; refusing to run ifconfig and route");
    const int cycles = std::atoi(argv[1]);
    const QByteArray target = argv[2];
    const QByteArray name = argc > 3 ? QByteArray(argv[3]) : QByteArray();

    QProcess dns;
    if (!name.isEmpty()) {
        const QByteArray peer = qgetenv("TARNEX_PEER_PID");
        if (peer.isEmpty())
            return fail("a NAME needs in-netns --veth (TARNEX_PEER_PID)");
        dns.setProcessChannelMode(QProcess::MergedChannels);
        dns.start(QStringLiteral("nsenter"),
            { QStringLiteral("--net=/proc/%1/ns/net").arg(QString::fromLatin1(peer)),
                QStringLiteral("/usr/sbin/dnsmasq"), QStringLiteral("--keep-in-foreground"),
                QStringLiteral("--no-resolv"), QStringLiteral("--no-hosts"),
                QStringLiteral("--bind-interfaces"),
                QStringLiteral("--listen-address=") + QString::fromLatin1(target),
                QStringLiteral("--log-facility=-"), QStringLiteral("--user=root"),
                QStringLiteral("--group=root"), QStringLiteral("--pid-file="),
                QStringLiteral("--address=/%1/%2")
                    .arg(QString::fromLatin1(name), QString::fromLatin1(target)) });
        QByteArray said;
        while (!said.contains("started, version") && dns.waitForReadyRead(10000))
            said += dns.readAll();
        if (!said.contains("started, version")) {
            std::fprintf(stderr, "benchconnect: dnsmasq did not start: %s\n", said.constData());
            return 1;
        }
    }

    MmsConnectionImpl literal, named;
    literal.setTarget(QString::fromLatin1(target));
    named.setTarget(QString::fromLatin1(name));
    int established = -1;
    QEventLoop loop;
    for (MmsConnectionImpl *c : { &literal, &named })
        QObject::connect(c, &MmsConnectionImpl::connectionEstablished, &loop, [&](int error) {
            established = error;
            loop.quit();
        });
    QTimer guard; // a lost reply ends the run instead of hanging it
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });

    Floor floor;
    QElapsedTimer t;
    struct Times
    {
        double open = 0, close = 0;
    } impl, implNamed, spawnFloor, qFloor, namedFloor;
    auto runImpl = [&](MmsConnectionImpl &connection, Times &times) -> bool {
        established = -1;
        t.start();
        if (!connection.openConnection(QStringLiteral("mms"), QString(), QString()))
            return fail("openConnection was not sent") == 0;
        guard.start(70000);
        loop.exec();
        guard.stop();
        times.open = t.nsecsElapsed() / 1e6;
        if (established != 0) {
            std::fprintf(stderr, "benchconnect: connectionEstablished(%d)\n", established);
            return false;
        }
        t.start();
        if (!connection.closeConnection())
            return fail("closeConnection failed") == 0;
        times.close = t.nsecsElapsed() / 1e6;
        return true;
    };
    auto runFloor = [&](bool qprocess, const QByteArray &host, Times &times) -> bool {
        g_useQProcess = qprocess;
        t.start();
        if (!floor.open(target, host))
            return fail("floor: open failed") == 0;
        times.open = t.nsecsElapsed() / 1e6;
        t.start();
        if (!floor.close())
            return fail("floor: close failed") == 0;
        times.close = t.nsecsElapsed() / 1e6;
        return true;
    };
    // Cycle 0 warms all up (bus connection, caches) and is not reported;
    // the order rotates so that none always runs on a warmer cache.
    const int kinds = name.isEmpty() ? 3 : 5;
    for (int cycle = 0; cycle <= cycles; ++cycle) {
        bool ok = true;
        for (int k = 0; k < kinds && ok; ++k) {
            switch ((cycle + k) % kinds) {
            case 0:
                ok = runImpl(literal, impl);
                break;
            case 1:
                ok = runFloor(false, QByteArray(), spawnFloor);
                break;
            case 2:
                ok = runFloor(true, QByteArray(), qFloor);
                break;
            case 3:
                ok = runImpl(named, implNamed);
                break;
            default:
                ok = runFloor(false, name, namedFloor);
                break;
            }
        }
        if (!ok)
            return 1;
        if (cycle == 0)
            continue;
        std::printf("impl %.3f %.3f\nfloor %.3f %.3f\nqfloor %.3f %.3f\n", impl.open, impl.close,
            spawnFloor.open, spawnFloor.close, qFloor.open, qFloor.close);
        if (!name.isEmpty())
            std::printf("named %.3f %.3f\nnamedfloor %.3f %.3f\n", implNamed.open, implNamed.close,
                namedFloor.open, namedFloor.close);
    }
    if (dns.state() != QProcess::NotRunning) {
        dns.terminate();
        dns.waitForFinished(5000);
    }
    return 0;
}
