#include "democlient.h"

#include <QBuffer>
#include <QDBusError>
#include <QFile>
#include <QHostAddress>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QProcess>
#include <QUrl>

#include <cstdio>

// The library's public API, as an MMS daemon includes it.
#include <mmsconnection.h>
#include <mmsreceiver.h>
#include <mmsreceivernm.h>
#include <mmssender.h>
#include <mmssendernm.h>

#include "mmspdu.h"
#include "progressbar.h"

namespace {

const char *const kHttpStates[]
    = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };
const char *const kHttpErrors[] = { "NoError", "UnknownError", "HostNotFound", "ConnectionRefused",
    "UnexpectedClose", "InvalidResponseHeader", "WrongContentLength", "Aborted",
    "AuthenticationRequiredError", "ProxyAuthenticationRequiredError" };

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString seconds(qint64 ms)
{
    return ms < 0 ? QString() : QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 3);
}

QString connectionName(DemoClient::ConnectionKind kind)
{
    switch (kind) {
    case DemoClient::GprsService:
        return QStringLiteral("cellular GPRS service");
    case DemoClient::PacketDataLibrary:
        return QStringLiteral("packet-data library");
    default:
        return QStringLiteral("none (already up)");
    }
}

} // namespace

DemoClient::DemoClient(const Options &options)
    : m_options(options)
{
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, &m_loop, &QEventLoop::quit);
}

DemoClient::~DemoClient()
{
    delete m_connection;
}

int DemoClient::run()
{
    m_total.start();
    say(QStringLiteral("mms-demo: connection %1, transfer %2, MMSC %3%4")
            .arg(connectionName(m_options.connection),
                m_options.transfer == Socket ? QStringLiteral("socket (MmsSender/MmsReceiver)")
                                             : QStringLiteral("network manager (MmsSenderNM/MmsReceiverNM)"),
                m_options.mmsc,
                m_options.proxy.isEmpty()
                    ? QString()
                    : QStringLiteral(", proxy %1:%2").arg(m_options.proxy).arg(m_options.proxyPort)));

    QFile f(m_options.pduFile);
    if (!f.open(QIODevice::ReadOnly))
        return fail(UsageError,
            QStringLiteral("cannot read the PDU file %1: %2").arg(m_options.pduFile, f.errorString()));
    m_pdu = f.readAll();
    MmsPdu pdu;
    QString error;
    if (!pdu.decode(m_pdu, &error) || !(error = pdu.sendReqProblem()).isEmpty())
        return fail(UsageError,
            QStringLiteral("%1 is not an m-send-req an MMSC would take: %2").arg(m_options.pduFile, error));
    m_tid = pdu.transactionId();

    int rc = open();
    if (rc == Success)
        rc = send();
    if (rc == Success)
        rc = checkConf();
    if (rc == Success)
        rc = download();
    if (rc == Success)
        rc = compare();
    const int closed = close(); // also after a failure: never leave the connection up
    if (rc == Success)
        rc = closed;
    printSummary(rc);
    return rc;
}

int DemoClient::open()
{
    if (m_options.connection == NoConnection) {
        say(QStringLiteral("[1/6] No connection to open: using the host's own network"));
        return Success;
    }
    say(QStringLiteral("[1/6] Opening the MMS packet-data connection through the %1, APN \"%2\"")
            .arg(connectionName(m_options.connection), m_options.apn));
    QElapsedTimer t;
    t.start();
    m_connection
        = MmsConnection::createConnection(MmsConnection::MmsConnectionType(int(m_options.connection)));
    if (!m_connection) {
        record(QStringLiteral("open"), false, QStringLiteral("no connection object"), t.elapsed());
        return fail(OpenFailed,
            QStringLiteral("createConnection(%1) returned no object").arg(int(m_options.connection)));
    }
    // By signature: each implementation emits its own connectionEstablished(int).
    connect(m_connection, SIGNAL(connectionEstablished(int)), this, SLOT(onConnectionEstablished(int)));
    connect(m_connection, SIGNAL(disconnected()), this, SLOT(onDisconnected()));
    const QString target = routeTarget();
    m_connection->setTarget(target);
    if (m_options.connection == GprsService) {
        if (target.isEmpty())
            say(QStringLiteral("      route: default route (no target)"));
        else if (QHostAddress(target).isNull())
            say(QStringLiteral("      route: the addresses the connection's DNS servers give for %1, through "
                               "the MMS interface")
                    .arg(target));
        else
            say(QStringLiteral("      route: %1 through the MMS interface").arg(target));
    }

    m_event = false;
    if (!m_connection->openConnection(m_options.apn, m_options.user, m_options.password)) {
        record(QStringLiteral("open"), false, QStringLiteral("request not started"), t.elapsed());
        return fail(OpenFailed,
            m_options.connection == PacketDataLibrary
                ? QStringLiteral("the packet-data library refused the connect request "
                                 "(is the library initialised and the GPRS service on the bus?)")
                : QStringLiteral("the connect request could not be sent on the system bus"));
    }
    if (!waitForEvent(m_options.connectSeconds * 1000)) {
        record(QStringLiteral("open"), false, QStringLiteral("no answer"), t.elapsed());
        return fail(OpenFailed,
            QStringLiteral("no answer to the connect request within %1 s").arg(m_options.connectSeconds));
    }
    const int code = m_code;
    if (code != 0) {
        QString why;
        if (m_options.connection == PacketDataLibrary)
            why = QStringLiteral("the packet-data library reported the connection failed or lost");
        else if (code == 1)
            why = QStringLiteral("the interface or route command failed, or the route target did not resolve "
                                 "(or the service answered with an unnamed error)");
        else if (code == QDBusError::ServiceUnknown)
            why = QStringLiteral("the cellular GPRS service is not on the system bus (%1)")
                      .arg(QDBusError::errorString(QDBusError::ServiceUnknown));
        else
            why = QStringLiteral("the connect request to the GPRS service failed with %1")
                      .arg(QDBusError::errorString(QDBusError::ErrorType(code)));
        record(QStringLiteral("open"), false, QString::number(code), t.elapsed());
        return fail(OpenFailed, QStringLiteral("connectionEstablished(%1): %2").arg(code).arg(why));
    }
    m_open = true;
    // The transfers go through this connection: its interface, and its DNS
    // servers for the MMSC's and the proxy's names.
    m_bearerInterface = m_connection->interfaceName();
    m_bearerDns = QStringList { m_connection->primaryDNS(), m_connection->secondaryDNS() };
    say(QStringLiteral("      interface %1, address %2, DNS %3, %4")
            .arg(m_connection->interfaceName(), m_connection->ipAddress(), m_connection->primaryDNS(),
                m_connection->secondaryDNS()));
    record(QStringLiteral("open"), true,
        QStringLiteral("0: %1 %2").arg(m_connection->interfaceName(), m_connection->ipAddress()),
        t.elapsed());
    printRoutes();
    return Success;
}

void DemoClient::printRoutes()
{
    // Where the MMSC's traffic will go, as the kernel has it now; skipped
    // where iproute2 is missing.
    QStringList lines;
    for (const QStringList &args : { QStringList { QStringLiteral("-4"), QStringLiteral("route") },
             QStringList { QStringLiteral("-6"), QStringLiteral("route") } }) {
        QProcess ip;
        ip.start(QStringLiteral("ip"), args);
        if (!ip.waitForFinished(5000) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0)
            return;
        for (const QString &line :
            QString::fromLocal8Bit(ip.readAllStandardOutput()).split(QLatin1Char('\n'))) {
            // The kernel's own IPv6 link-local and loopback routes say nothing here.
            if (!line.isEmpty() && !line.startsWith(QLatin1String("fe80::"))
                && !line.startsWith(QLatin1String("::1 ")))
                lines << QStringLiteral("        ") + line.trimmed();
        }
    }
    say(QStringLiteral("      routes now:"));
    for (const QString &line : qAsConst(lines))
        say(line);
}

int DemoClient::send()
{
    say(QStringLiteral("[2/6] Sending the m-send-req (%1 bytes, transaction %2) to %3")
            .arg(m_pdu.size())
            .arg(QString::fromLatin1(m_tid), m_options.mmsc));
    std::unique_ptr<MmsSenderBase> sender;
    if (m_options.transfer == Socket)
        sender.reset(new MmsSender);
    else
        sender.reset(new MmsSenderNM);
    const QUrl url(m_options.mmsc);
    sender->setMmsc(m_options.mmsc);
    sender->setMmscPort(url.port(80));
    if (!m_options.proxy.isEmpty()) {
        sender->setProxy(m_options.proxy);
        sender->setProxyPort(m_options.proxyPort);
    }
    sender->setNetworkInterface(m_bearerInterface);
    sender->setDnsServers(m_bearerDns);
    connect(sender.get(), &MmsSenderBase::sendProgress, this, &DemoClient::onSendProgress);
    connect(sender.get(), &MmsSenderBase::mmsSendComplete, this, &DemoClient::onSendComplete);
    connect(sender.get(), &MmsSenderBase::connectionStateChanged, this, &DemoClient::onHttpState);

    QBuffer in(&m_pdu);
    in.open(QIODevice::ReadOnly);
    m_response.clear();
    QBuffer out(&m_response);
    out.open(QIODevice::WriteOnly);
    m_bar.reset(new ProgressBar(QStringLiteral("upload"), stdout));
    m_states.clear();
    QElapsedTimer t;
    t.start();
    m_event = false;
    sender->startMmsSend(&in, &out);
    const bool answered = waitForEvent(m_options.stallSeconds * 1000);
    const qint64 ms = t.elapsed();
    if (!answered || m_lost) {
        sender->abort();
        m_bar->finish(false);
        record(QStringLiteral("send"), false,
            m_lost ? QStringLiteral("connection lost") : QStringLiteral("stalled"), ms);
        return fail(SendFailed,
            m_lost ? QStringLiteral("the packet-data connection went down during the upload")
                   : QStringLiteral("no upload progress for %1 s: transfer aborted")
                         .arg(m_options.stallSeconds));
    }
    const int code = m_code;
    m_bar->finish(code == 200);
    if (!m_states.isEmpty())
        say(QStringLiteral("      HTTP states: ") + m_states.join(QStringLiteral(" > ")));
    record(QStringLiteral("send"), code == 200, transferOutcome(code), ms);
    if (code != 200)
        return fail(
            SendFailed, QStringLiteral("the POST to the MMSC ended with %1").arg(transferOutcome(code)));
    return Success;
}

int DemoClient::checkConf()
{
    MmsPdu conf;
    QString error;
    if (!conf.decode(m_response, &error)) {
        record(QStringLiteral("send-conf"), false, QStringLiteral("undecodable"));
        return fail(MmscRefused,
            QStringLiteral("the MMSC's answer (%1 bytes) is not an MMS PDU: %2")
                .arg(m_response.size())
                .arg(error));
    }
    if (conf.messageType() != MmsPdu::SendConf) {
        record(QStringLiteral("send-conf"), false, MmsPdu::messageTypeName(conf.messageType()));
        return fail(MmscRefused,
            QStringLiteral("the MMSC answered with an %1, not an m-send-conf")
                .arg(MmsPdu::messageTypeName(conf.messageType())));
    }
    if (conf.transactionId() != m_tid) {
        record(QStringLiteral("send-conf"), false, QStringLiteral("wrong transaction"));
        return fail(MmscRefused,
            QStringLiteral("the m-send-conf is for transaction \"%1\", not \"%2\"")
                .arg(QString::fromLatin1(conf.transactionId()), QString::fromLatin1(m_tid)));
    }
    const int status = conf.responseStatus();
    const QString statusText
        = QStringLiteral("%1 (0x%2)").arg(MmsPdu::statusName(status)).arg(status, 2, 16, QLatin1Char('0'));
    if (status != MmsPdu::Ok) {
        say(QStringLiteral("[3/6] m-send-conf: %1%2")
                .arg(statusText,
                    conf.responseText().isEmpty() ? QString()
                                                  : QStringLiteral(", \"%1\"").arg(conf.responseText())));
        record(QStringLiteral("send-conf"), false, statusText);
        return fail(MmscRefused,
            QStringLiteral("the MMSC refused the message: %1%2")
                .arg(statusText,
                    conf.responseText().isEmpty() ? QString() : QStringLiteral(": ") + conf.responseText()));
    }
    m_message_id = conf.messageId();
    m_location = QString::fromLatin1(conf.contentLocation());
    say(QStringLiteral("[3/6] m-send-conf: status %1, Message-ID %2%3")
            .arg(statusText, QString::fromLatin1(m_message_id),
                m_location.isEmpty() ? QString() : QStringLiteral(", stored at ") + m_location));
    record(QStringLiteral("send-conf"), true, statusText);
    return Success;
}

int DemoClient::download()
{
    const QString url = m_options.downloadUrl.isEmpty() ? m_location : m_options.downloadUrl;
    if (url.isEmpty()) {
        record(QStringLiteral("download"), false, QStringLiteral("no URL"));
        return fail(DownloadFailed,
            QStringLiteral("the m-send-conf names no X-Mms-Content-Location; give one with --url"));
    }
    say(QStringLiteral("[4/6] Downloading %1").arg(url));
    std::unique_ptr<MmsReceiverBase> receiver;
    if (m_options.transfer == Socket)
        receiver.reset(new MmsReceiver);
    else
        receiver.reset(new MmsReceiverNM);
    if (!m_options.proxy.isEmpty()) {
        receiver->setProxy(m_options.proxy);
        receiver->setProxyPort(m_options.proxyPort);
    }
    receiver->setNetworkInterface(m_bearerInterface);
    receiver->setDnsServers(m_bearerDns);
    connect(receiver.get(), &MmsReceiverBase::downloadProgress, this, &DemoClient::onDownloadProgress);
    connect(receiver.get(), &MmsReceiverBase::downloadCompleted, this, &DemoClient::onDownloadComplete);
    connect(receiver.get(), &MmsReceiverBase::connectionStateChanged, this, &DemoClient::onHttpState);

    m_downloaded.clear();
    QBuffer out(&m_downloaded);
    out.open(QIODevice::WriteOnly);
    m_bar.reset(new ProgressBar(QStringLiteral("download"), stdout));
    m_states.clear();
    QElapsedTimer t;
    t.start();
    m_event = false;
    receiver->downloadMms(url, &out);
    const bool answered = waitForEvent(m_options.stallSeconds * 1000);
    const qint64 ms = t.elapsed();
    if (!answered || m_lost) {
        receiver->abort();
        m_bar->finish(false);
        record(QStringLiteral("download"), false,
            m_lost ? QStringLiteral("connection lost") : QStringLiteral("stalled"), ms);
        return fail(DownloadFailed,
            m_lost ? QStringLiteral("the packet-data connection went down during the download")
                   : QStringLiteral("no download progress for %1 s: transfer aborted")
                         .arg(m_options.stallSeconds));
    }
    const int code = m_code;
    m_bar->update(m_downloaded.size(), m_downloaded.size());
    m_bar->finish(code == 200);
    if (!m_states.isEmpty())
        say(QStringLiteral("      HTTP states: ") + m_states.join(QStringLiteral(" > ")));
    record(QStringLiteral("download"), code == 200, transferOutcome(code), ms);
    if (code != 200)
        return fail(DownloadFailed, QStringLiteral("the GET ended with %1").arg(transferOutcome(code)));
    return Success;
}

int DemoClient::compare()
{
    if (!m_options.saveFile.isEmpty()) {
        QFile f(m_options.saveFile);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || f.write(m_downloaded) != m_downloaded.size() || !f.flush())
            say(QStringLiteral("      (could not save the download to %1: %2)")
                    .arg(m_options.saveFile, f.errorString()));
    }
    MmsPdu sent;
    sent.decode(m_pdu);
    MmsPdu got;
    QString error;
    QString mismatch;
    if (!got.decode(m_downloaded, &error))
        mismatch = QStringLiteral("the download (%1 bytes) is not an MMS PDU: %2")
                       .arg(m_downloaded.size())
                       .arg(error);
    else if (got.messageType() != MmsPdu::RetrieveConf)
        mismatch = QStringLiteral("the download is an %1, not an m-retrieve-conf")
                       .arg(MmsPdu::messageTypeName(got.messageType()));
    else if (!m_message_id.isEmpty() && got.messageId() != m_message_id)
        mismatch = QStringLiteral("the download is message \"%1\", not \"%2\"")
                       .arg(QString::fromLatin1(got.messageId()), QString::fromLatin1(m_message_id));
    else if (got.contentTypeRaw != sent.contentTypeRaw || got.body != sent.body)
        mismatch = QStringLiteral("the content differs from what was sent (%1 bytes sent, %2 bytes received)")
                       .arg(sent.body.size())
                       .arg(got.body.size());
    else if (got.subject() != sent.subject() || got.addresses(MmsPdu::To) != sent.addresses(MmsPdu::To))
        mismatch = QStringLiteral("subject or recipients differ from what was sent");
    if (!mismatch.isEmpty()) {
        say(QStringLiteral("[5/6] Comparing: MISMATCH"));
        record(QStringLiteral("compare"), false, QStringLiteral("mismatch"));
        return fail(ContentMismatch, mismatch);
    }
    QList<MmsPart> parts;
    got.parts(&parts);
    QStringList partList;
    for (const MmsPart &p : parts)
        partList
            << QStringLiteral("%1 %2 B").arg(QString::fromLatin1(p.contentType.mediaType)).arg(p.data.size());
    say(QStringLiteral(
        "[5/6] Comparing: the m-retrieve-conf carries the sent content byte for byte (%1 bytes%2)")
            .arg(got.body.size())
            .arg(
                partList.isEmpty() ? QString() : QStringLiteral(": ") + partList.join(QStringLiteral(", "))));
    say(QStringLiteral("      From %1, To %2, Subject \"%3\"")
            .arg(got.from(), got.addresses(MmsPdu::To).join(QStringLiteral(", ")), got.subject()));
    record(QStringLiteral("compare"), true, QStringLiteral("identical, %1 bytes").arg(got.body.size()));
    return Success;
}

int DemoClient::close()
{
    if (!m_connection)
        return Success;
    say(QStringLiteral("[6/6] Closing the connection"));
    QElapsedTimer t;
    t.start();
    m_lost = false;
    m_event = false;
    const bool wasOpen = m_open;
    m_open = false; // from here a connectionEstablished(1) is the close, not a loss
    const bool result = m_connection->closeConnection();
    if (m_options.connection == PacketDataLibrary && result && wasOpen) {
        // The library confirms a close through its callback: connectionEstablished(1).
        if (!waitForEvent(m_options.closeSeconds * 1000)) {
            record(QStringLiteral("close"), false, QStringLiteral("no confirmation"), t.elapsed());
            return fail(CloseFailed,
                QStringLiteral("the packet-data library did not confirm the close within %1 s")
                    .arg(m_options.closeSeconds));
        }
    }
    record(QStringLiteral("close"), result, result ? QStringLiteral("true") : QStringLiteral("false"),
        t.elapsed());
    if (!result)
        return fail(CloseFailed,
            QStringLiteral("closeConnection() returned false: the context was not deleted cleanly"));
    return Success;
}

int DemoClient::fail(int code, const QString &message)
{
    std::fprintf(stderr, "mms-demo: error: %s\n", qPrintable(message));
    std::fflush(stderr);
    return code;
}

void DemoClient::record(const QString &name, bool ok, const QString &outcome, qint64 ms)
{
    m_steps.append(Step { name, ok, outcome, ms });
}

bool DemoClient::waitForEvent(int idleMs)
{
    if (!m_event) {
        m_idle.start(idleMs);
        m_loop.exec();
        m_idle.stop();
    }
    return m_event;
}

void DemoClient::printSummary(int exitCode)
{
    say(QString());
    say(QStringLiteral("  %1  %2  %3  %4")
            .arg(QStringLiteral("step"), -10)
            .arg(QStringLiteral("ok"), -3)
            .arg(QStringLiteral("outcome"), -44)
            .arg(QStringLiteral("time")));
    say(QStringLiteral("  %1  %2  %3  %4")
            .arg(QString(10, QLatin1Char('-')), QString(3, QLatin1Char('-')), QString(44, QLatin1Char('-')),
                QString(9, QLatin1Char('-'))));
    for (const Step &s : m_steps)
        say(QStringLiteral("  %1  %2  %3  %4")
                .arg(s.name, -10)
                .arg(s.ok ? QStringLiteral("yes") : QStringLiteral("NO"), -3)
                .arg(s.outcome.left(44), -44)
                .arg(seconds(s.ms)));
    say(QStringLiteral("  %1  %2  %3  %4")
            .arg(QStringLiteral("total"), -10)
            .arg(exitCode == Success ? QStringLiteral("yes") : QStringLiteral("NO"), -3)
            .arg(exitCode == Success ? QStringLiteral("round trip complete")
                                     : QStringLiteral("failed, exit status %1").arg(exitCode),
                -44)
            .arg(seconds(m_total.elapsed())));
}

QString DemoClient::transferOutcome(int code) const
{
    if (m_options.transfer == Socket) {
        // An HTTP status when an answer came, else the socket client's error.
        if (code >= 100)
            return QStringLiteral("HTTP %1").arg(code);
        if (code >= 0 && code <= 9)
            return QStringLiteral("%1 (%2)").arg(code).arg(QLatin1String(kHttpErrors[code]));
        return QString::number(code);
    }
    // The network-manager classes give the status only on success and the
    // manager's error code otherwise; the two ranges overlap, so a value
    // other than 200 is named as the error it also is.
    if (code == 200)
        return QStringLiteral("HTTP 200");
    const char *key = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    return key ? QStringLiteral("%1 (%2)").arg(code).arg(QLatin1String(key)) : QString::number(code);
}

QString DemoClient::routeTarget() const
{
    if (!m_options.target.isEmpty())
        return m_options.target;
    // An address or a host name: the connection resolves a name itself.
    return m_options.proxy.isEmpty() ? QUrl(m_options.mmsc).host() : m_options.proxy;
}

void DemoClient::onConnectionEstablished(int error)
{
    if (m_open && error != 0) {
        m_lost = true; // the connection went down under a transfer
        say(QStringLiteral("      the packet-data connection reported connectionEstablished(%1)").arg(error));
    }
    m_code = error;
    m_event = true;
    m_loop.quit();
}

void DemoClient::onDisconnected()
{
    if (!m_open)
        return;
    m_lost = true;
    say(QStringLiteral("      the packet-data connection reported disconnected()"));
    m_event = true;
    m_loop.quit();
}

void DemoClient::onSendProgress(int done, int total)
{
    m_idle.start(m_options.stallSeconds * 1000);
    if (m_bar)
        m_bar->update(done, total);
}

void DemoClient::onSendComplete(int code)
{
    m_code = code;
    m_event = true;
    m_loop.quit();
}

void DemoClient::onDownloadProgress(int done, int total)
{
    m_idle.start(m_options.stallSeconds * 1000);
    if (m_bar)
        m_bar->update(done, total);
}

void DemoClient::onDownloadComplete(int code)
{
    m_code = code;
    m_event = true;
    m_loop.quit();
}

void DemoClient::onHttpState(int state)
{
    m_idle.start(m_options.stallSeconds * 1000);
    m_states << (state >= 0 && state <= 6 ? QString::fromLatin1(kHttpStates[state]) : QString::number(state));
}
