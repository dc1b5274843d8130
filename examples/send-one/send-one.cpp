// send-one: sends one MMS PDU to an MMSC through libtarnex and prints the
// outcome by name. Builds against the installed libtarnex-dev alone:
//   cmake -S . -B build && cmake --build build
//   g++ -std=c++17 -fPIC send-one.cpp $(pkg-config --cflags --libs tarnex) -o send-one
// For Qt 6 (libtarnex-qt6-dev): -DTARNEX_PACKAGE=TarnexQt6, pkg-config tarnex-qt6.
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QStringList>

#include <cstdio>
#include <iterator>
#include <memory>

#include <mmssender.h>
#include <mmssendernm.h>
#include <tarnexversion.h>

namespace {
// Below 100 the socket sender reports its HTTP client's own error codes.
const char *const socketErrors[] = { "NoError", "UnknownError", "HostNotFound", "ConnectionRefused",
    "UnexpectedClose", "InvalidResponseHeader", "WrongContentLength", "Aborted",
    "AuthenticationRequiredError", "ProxyAuthenticationRequiredError" };

QString outcomeName(int code, bool nm)
{
    if (nm && code != 0) {
        // The network-manager sender reports Qt's error when no answer came.
        if (const char *key = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code))
            return QString::fromLatin1(key);
    } else if (!nm && code > 0 && code < int(std::size(socketErrors))) {
        return QString::fromLatin1(socketErrors[code]);
    }
    return code >= 100 ? QStringLiteral("HTTP %1").arg(code) : QStringLiteral("code %1").arg(code);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool nm = args.removeAll(QStringLiteral("--nm")) > 0;
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: send-one [--nm] MMSC-URL PDU-FILE [PROXY-HOST:PORT]\n");
        return 2;
    }
    QFile pdu(args.at(1));
    if (!pdu.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "send-one: %s: %s\n", qPrintable(pdu.fileName()), qPrintable(pdu.errorString()));
        return 2;
    }

    std::unique_ptr<MmsSenderBase> sender;
    if (nm)
        sender = std::make_unique<MmsSenderNM>();
    else
        sender = std::make_unique<MmsSender>();
    const QUrl mmsc(args.at(0));
    sender->setMmsc(mmsc.toString());
    sender->setMmscPort(mmsc.port(80));
    if (args.size() == 3) {
        sender->setProxy(args.at(2).section(QLatin1Char(':'), 0, -2));
        sender->setProxyPort(args.at(2).section(QLatin1Char(':'), -1).toInt());
    }

    // The sender neither opens nor closes the devices: both stay open until it is done.
    QBuffer answer;
    answer.open(QIODevice::WriteOnly);
    int outcome = -1;
    QObject::connect(sender.get(), &MmsSenderBase::mmsSendComplete, &app, [&](int code) {
        outcome = code;
        app.quit();
    });
    sender->startMmsSend(&pdu, &answer);
    app.exec();

    std::printf("libtarnex %s, %s: %d %s, %lld bytes of answer\n", TARNEX_VERSION_STRING,
        nm ? "MmsSenderNM" : "MmsSender", outcome, qPrintable(outcomeName(outcome, nm)),
        static_cast<long long>(answer.size()));
    return outcome >= 200 && outcome < 300 ? 0 : 1;
}
