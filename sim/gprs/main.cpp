// gprs-sim: a stand-in for the handset's cellular GPRS service, on the bus
// named by DBUS_SYSTEM_BUS_ADDRESS. Prints "ready" once it owns its names.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include "gprsservice.h"
#include "simcontrol.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gprs-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated cellular GPRS service (com.orvel.quelm.GPRS)"));
    parser.addHelpOption();
    const ContextSettings defaults;
    QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Address of new contexts."),
        QStringLiteral("addr"), defaults.address);
    QCommandLineOption dns1(QStringLiteral("primary-dns"),
        QStringLiteral("Primary DNS server of new contexts."), QStringLiteral("addr"), defaults.primaryDns);
    QCommandLineOption dns2(QStringLiteral("secondary-dns"),
        QStringLiteral("Secondary DNS server of new contexts."), QStringLiteral("addr"),
        defaults.secondaryDns);
    QCommandLineOption iface(QStringLiteral("interface"),
        QStringLiteral("Network interface of new contexts."), QStringLiteral("name"), defaults.interfaceName);
    QCommandLineOption verbose(
        QStringLiteral("verbose"), QStringLiteral("Log every call received to stderr."));
    parser.addOptions({ address, dns1, dns2, iface, verbose });
    parser.process(app);

    QTextStream err(stderr);
    // Never the machine's own system bus: only a bus someone set up for us.
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")) {
        err << "gprs-sim: DBUS_SYSTEM_BUS_ADDRESS is not set; refusing to use the system bus\n";
        return 2;
    }

    ContextSettings settings;
    settings.address = parser.value(address);
    settings.primaryDns = parser.value(dns1);
    settings.secondaryDns = parser.value(dns2);
    settings.interfaceName = parser.value(iface);

    GprsService service(settings, parser.isSet(verbose));
    SimControl control(&service);
    QString error;
    if (!control.start(&error) || !service.start(&error)) {
        err << "gprs-sim: " << error << '\n';
        return 1;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}
