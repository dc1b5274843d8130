// mmsc-sim: the operator's MMS centre for the demo and the tests. Prints
// "ready port=N" once it listens, then one line per request line, header
// field and decision, so the identity headers a handset sends are visible.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <cstdio>

#include "mmscserver.h"
#include "mmspdu.h"

namespace {
FILE *logFile = stdout;

void say(const QString &line)
{
    std::fprintf(logFile, "%s\n", line.toLocal8Bit().constData());
    std::fflush(logFile);
}

int parseNumber(const QString &text, bool *ok)
{
    return text.startsWith(QLatin1String("0x")) ? text.mid(2).toInt(ok, 16) : text.toInt(ok);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser args;
    args.setApplicationDescription(
        QStringLiteral("Simulated MMSC: takes m-send-req by POST, serves m-retrieve-conf by GET."));
    args.addHelpOption();
    args.addOptions({
        { QStringLiteral("listen"), QStringLiteral("address to listen on (default: any)"),
            QStringLiteral("addr") },
        { QStringLiteral("port"), QStringLiteral("HTTP port, 0 for any free one (default 80)"),
            QStringLiteral("n"), QStringLiteral("80") },
        { QStringLiteral("proxy-port"), QStringLiteral("also act as WAP proxy on this port, 0 for any"),
            QStringLiteral("n") },
        { QStringLiteral("path"), QStringLiteral("path that takes POSTs (default /mms)"),
            QStringLiteral("path"), QStringLiteral("/mms") },
        { QStringLiteral("base-url"), QStringLiteral("base of message URLs (default: from the request)"),
            QStringLiteral("url") },
        { QStringLiteral("store"), QStringLiteral("also write every PDU into this directory"),
            QStringLiteral("dir") },
        { QStringLiteral("sender"), QStringLiteral("address inserted for senders who ask for it"),
            QStringLiteral("addr") },
        { QStringLiteral("status"),
            QStringLiteral("answer every send with this X-Mms-Response-Status (e.g. 0x82)"),
            QStringLiteral("n") },
        { QStringLiteral("http-status"), QStringLiteral("answer every POST with this HTTP status"),
            QStringLiteral("n") },
        { QStringLiteral("stall"),
            QStringLiteral("post: never answer POSTs; get: stop sending GET bodies halfway"),
            QStringLiteral("what") },
        { QStringLiteral("max-size"), QStringLiteral("largest accepted PDU in bytes"), QStringLiteral("n") },
        { QStringLiteral("log"), QStringLiteral("write the request log here instead of to stdout"),
            QStringLiteral("file") },
    });
    args.process(app);

    MmscServer::Options o;
    bool ok = true;
    if (args.isSet(QStringLiteral("listen")) && !o.address.setAddress(args.value(QStringLiteral("listen")))) {
        say(QStringLiteral("mmsc-sim: bad --listen address"));
        return 2;
    }
    const int port = parseNumber(args.value(QStringLiteral("port")), &ok);
    if (!ok || port < 0 || port > 65535) {
        say(QStringLiteral("mmsc-sim: bad --port"));
        return 2;
    }
    o.port = quint16(port);
    if (args.isSet(QStringLiteral("proxy-port"))) {
        o.proxyPort = parseNumber(args.value(QStringLiteral("proxy-port")), &ok);
        if (!ok || o.proxyPort < 0 || o.proxyPort > 65535) {
            say(QStringLiteral("mmsc-sim: bad --proxy-port"));
            return 2;
        }
    }
    o.path = args.value(QStringLiteral("path")).toLatin1();
    o.baseUrl = args.value(QStringLiteral("base-url")).toLatin1();
    o.storeDir = args.value(QStringLiteral("store"));
    if (args.isSet(QStringLiteral("sender")))
        o.sender = args.value(QStringLiteral("sender"));
    if (args.isSet(QStringLiteral("status"))) {
        o.forcedStatus = parseNumber(args.value(QStringLiteral("status")), &ok);
        if (!ok || o.forcedStatus < 0x80 || o.forcedStatus > 0xff) {
            say(QStringLiteral("mmsc-sim: --status wants an X-Mms-Response-Status value, 0x80-0xff"));
            return 2;
        }
    }
    if (args.isSet(QStringLiteral("http-status"))) {
        o.forcedHttpStatus = parseNumber(args.value(QStringLiteral("http-status")), &ok);
        if (!ok || o.forcedHttpStatus < 200 || o.forcedHttpStatus > 599) {
            say(QStringLiteral("mmsc-sim: bad --http-status"));
            return 2;
        }
    }
    const QString stall = args.value(QStringLiteral("stall"));
    if (stall == QLatin1String("post"))
        o.stallPost = true;
    else if (stall == QLatin1String("get"))
        o.stallGetAfter = 1024;
    else if (!stall.isEmpty()) {
        say(QStringLiteral("mmsc-sim: --stall wants post or get"));
        return 2;
    }
    if (args.isSet(QStringLiteral("max-size"))) {
        o.maxBody = args.value(QStringLiteral("max-size")).toLongLong(&ok);
        if (!ok || o.maxBody < 0) {
            say(QStringLiteral("mmsc-sim: bad --max-size"));
            return 2;
        }
    }

    if (args.isSet(QStringLiteral("log"))) {
        logFile = std::fopen(QFile::encodeName(args.value(QStringLiteral("log"))).constData(), "a");
        if (!logFile) {
            std::fprintf(stderr, "mmsc-sim: cannot open the log file\n");
            return 2;
        }
    }

    MmscServer server(o);
    QObject::connect(&server, &MmscServer::log, &say);
    QString error;
    if (!server.listen(&error)) {
        say(QStringLiteral("mmsc-sim: ") + error);
        return 1;
    }
    QString ready = QStringLiteral("ready port=%1").arg(server.port());
    if (server.proxyPort() >= 0)
        ready += QStringLiteral(" proxy-port=%1").arg(server.proxyPort());
    say(ready);
    if (logFile != stdout) // whoever waits for "ready" reads stdout
        std::fprintf(stdout, "%s\n", qPrintable(ready));
    std::fflush(stdout);
    return app.exec();
}
