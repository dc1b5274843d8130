// mms-demo: one complete MMS round trip through libtarnex, as an MMS daemon
// would make it. See README.md, "Demo".
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>

#include <mmslogger.h>

#include "democlient.h"

namespace {
int usage(const QString &message)
{
    std::fprintf(stderr, "mms-demo: %s (see --help)\n", qPrintable(message));
    return DemoClient::UsageError;
}

QString defaultPdu()
{
    const QDir here(QCoreApplication::applicationDirPath());
    const QStringList dirs = QStringLiteral(MMS_DEMO_DATA_DIRS).split(QLatin1Char(':'));
    for (const QString &dir : dirs) {
        const QString file = QDir::cleanPath(here.filePath(dir + QStringLiteral("/m-send-req.mms")));
        if (QFileInfo::exists(file))
            return file;
    }
    return QDir::cleanPath(here.filePath(dirs.first() + QStringLiteral("/m-send-req.mms")));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mms-demo"));
    QCommandLineParser args;
    args.setApplicationDescription(QStringLiteral(
        "Sends an MMS and downloads it again through libtarnex: open the packet-data connection, POST the\n"
        "m-send-req, check the m-send-conf, GET the stored message, compare, close.\n"
        "Exit status: 0 success, 2 usage or PDU file, 3 connection, 4 send, 5 MMSC refused,\n"
        "6 download, 7 content mismatch, 8 close."));
    args.addHelpOption();
    args.addOptions({
        { { QStringLiteral("c"), QStringLiteral("connection") },
            QStringLiteral("gprs (cellular GPRS service), net (packet-data library) or none"),
            QStringLiteral("type"), QStringLiteral("gprs") },
        { { QStringLiteral("t"), QStringLiteral("transfer") },
            QStringLiteral("socket (QHttp-style client) or nm (network access manager)"),
            QStringLiteral("variant"), QStringLiteral("socket") },
        { QStringLiteral("mmsc"), QStringLiteral("MMSC URL"), QStringLiteral("url"),
            QStringLiteral("http://10.9.9.9/mms") },
        { QStringLiteral("proxy"), QStringLiteral("WAP/HTTP proxy of the MMS access point"),
            QStringLiteral("host:port") },
        { QStringLiteral("apn"), QStringLiteral("MMS access point name"), QStringLiteral("name"),
            QStringLiteral("mms") },
        { QStringLiteral("user"), QStringLiteral("access point user name"), QStringLiteral("name") },
        { QStringLiteral("password"), QStringLiteral("access point password"), QStringLiteral("text") },
        { QStringLiteral("target"),
            QStringLiteral("route target, an address or a host name (default: the MMSC's or proxy's host)"),
            QStringLiteral("host") },
        { QStringLiteral("pdu"), QStringLiteral("m-send-req to send"), QStringLiteral("file") },
        { QStringLiteral("url"), QStringLiteral("download this URL instead of the m-send-conf's location"),
            QStringLiteral("url") },
        { QStringLiteral("save"), QStringLiteral("keep the downloaded PDU in this file"),
            QStringLiteral("file") },
        { QStringLiteral("debug"), QStringLiteral("turn the library's debug lines on") },
        { QStringLiteral("no-debug"), QStringLiteral("turn them off (the default)") },
        { QStringLiteral("stall-timeout"),
            QStringLiteral("abort a transfer without progress after this long (default 30)"),
            QStringLiteral("seconds"), QStringLiteral("30") },
        { QStringLiteral("connect-timeout"), QStringLiteral("give up opening after this long (default 75)"),
            QStringLiteral("seconds"), QStringLiteral("75") },
    });
    args.process(app);
    if (!args.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument %1").arg(args.positionalArguments().first()));

    DemoClient::Options o;
    const QString connection = args.value(QStringLiteral("connection"));
    if (connection == QLatin1String("gprs") || connection == QLatin1String("0"))
        o.connection = DemoClient::GprsService;
    else if (connection == QLatin1String("net") || connection == QLatin1String("1"))
        o.connection = DemoClient::PacketDataLibrary;
    else if (connection == QLatin1String("none"))
        o.connection = DemoClient::NoConnection;
    else
        return usage(QStringLiteral("--connection wants gprs, net or none"));
    const QString transfer = args.value(QStringLiteral("transfer"));
    if (transfer == QLatin1String("socket"))
        o.transfer = DemoClient::Socket;
    else if (transfer == QLatin1String("nm"))
        o.transfer = DemoClient::NetworkManager;
    else
        return usage(QStringLiteral("--transfer wants socket or nm"));

    o.mmsc = args.value(QStringLiteral("mmsc"));
    const QUrl mmsc(o.mmsc, QUrl::StrictMode);
    if (!mmsc.isValid() || mmsc.host().isEmpty()
        || (mmsc.scheme() != QLatin1String("http") && mmsc.scheme() != QLatin1String("https")))
        return usage(QStringLiteral("--mmsc wants an http URL, not \"%1\"").arg(o.mmsc));
    if (args.isSet(QStringLiteral("proxy"))) {
        const QString proxy = args.value(QStringLiteral("proxy"));
        const int colon = proxy.lastIndexOf(QLatin1Char(':'));
        bool ok = true;
        o.proxy = colon < 0 ? proxy : proxy.left(colon);
        if (colon >= 0)
            o.proxyPort = proxy.mid(colon + 1).toInt(&ok);
        if (o.proxy.isEmpty() || !ok || o.proxyPort <= 0 || o.proxyPort > 65535)
            return usage(QStringLiteral("--proxy wants host:port"));
    }
    o.apn = args.value(QStringLiteral("apn"));
    o.user = args.value(QStringLiteral("user"));
    o.password = args.value(QStringLiteral("password"));
    o.target = args.value(QStringLiteral("target"));
    o.pduFile = args.isSet(QStringLiteral("pdu")) ? args.value(QStringLiteral("pdu")) : defaultPdu();
    o.downloadUrl = args.value(QStringLiteral("url"));
    o.saveFile = args.value(QStringLiteral("save"));
    bool ok = false;
    o.stallSeconds = args.value(QStringLiteral("stall-timeout")).toInt(&ok);
    if (!ok || o.stallSeconds <= 0)
        return usage(QStringLiteral("--stall-timeout wants a positive number of seconds"));
    o.connectSeconds = args.value(QStringLiteral("connect-timeout")).toInt(&ok);
    if (!ok || o.connectSeconds <= 0)
        return usage(QStringLiteral("--connect-timeout wants a positive number of seconds"));

    MMSLogger::qdebugEnabled = args.isSet(QStringLiteral("debug")) && !args.isSet(QStringLiteral("no-debug"));

    DemoClient client(o);
    return client.run();
}
