// benchconnect: connection bring-up and take-down, the library against its floor.
//
//   benchconnect CYCLES TARGET
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
// Prints "impl OPEN_MS CLOSE_MS", "floor ..." and "qfloor ..." per cycle.
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

#include <spawn.h>
#include <sys/wait.h>

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

struct Floor
{
    QDBusObjectPath context;
    QByteArray iface, address;

    bool open(const QByteArray &target)
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
        return run({ "/sbin/ifconfig", iface.constData(), address.constData(), "up" })
            && run({ "/sbin/route", "add", target.constData(), "dev", iface.constData() });
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
        std::fprintf(stderr, "usage: benchconnect CYCLES TARGET\n");
        return 2;
    }
    // ifconfig and route change the network: never outside a private namespace.
    if (qEnvironmentVariableIsEmpty("TARNEX_NETNS"))
        return fail("not started by in-netns; refusing to run ifconfig and route");
    const int cycles = std::atoi(argv[1]);
    const QByteArray target = argv[2];

    MmsConnectionImpl connection;
    connection.setTarget(QString::fromLatin1(target));
    int established = -1;
    QEventLoop loop;
    QObject::connect(&connection, &MmsConnectionImpl::connectionEstablished, &loop, [&](int error) {
        established = error;
        loop.quit();
    });
    QTimer guard; // a lost reply ends the run instead of hanging it
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });

    Floor floor;
    QElapsedTimer t;
    double implOpen = 0, implClose = 0, floorOpen = 0, floorClose = 0, qOpen = 0, qClose = 0;
    auto runImpl = [&]() -> bool {
        established = -1;
        t.start();
        if (!connection.openConnection(QStringLiteral("mms"), QString(), QString()))
            return fail("openConnection was not sent") == 0;
        guard.start(70000);
        loop.exec();
        guard.stop();
        implOpen = t.nsecsElapsed() / 1e6;
        if (established != 0) {
            std::fprintf(stderr, "benchconnect: connectionEstablished(%d)\n", established);
            return false;
        }
        t.start();
        if (!connection.closeConnection())
            return fail("closeConnection failed") == 0;
        implClose = t.nsecsElapsed() / 1e6;
        return true;
    };
    auto runFloor = [&](bool qprocess) -> bool {
        g_useQProcess = qprocess;
        t.start();
        if (!floor.open(target))
            return fail("floor: open failed") == 0;
        (qprocess ? qOpen : floorOpen) = t.nsecsElapsed() / 1e6;
        t.start();
        if (!floor.close())
            return fail("floor: close failed") == 0;
        (qprocess ? qClose : floorClose) = t.nsecsElapsed() / 1e6;
        return true;
    };
    // Cycle 0 warms all up (bus connection, caches) and is not reported;
    // the order rotates so that none always runs on a warmer cache.
    for (int cycle = 0; cycle <= cycles; ++cycle) {
        bool ok = true;
        for (int k = 0; k < 3 && ok; ++k) {
            switch ((cycle + k) % 3) {
            case 0:
                ok = runImpl();
                break;
            case 1:
                ok = runFloor(false);
                break;
            default:
                ok = runFloor(true);
                break;
            }
        }
        if (!ok)
            return 1;
        if (cycle > 0)
            std::printf("impl %.3f %.3f\nfloor %.3f %.3f\nqfloor %.3f %.3f\n", implOpen, implClose, floorOpen,
                floorClose, qOpen, qClose);
    }
    return 0;
}
