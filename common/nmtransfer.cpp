#include "nmtransfer_p.h"

#include <QDebug>
#include <QFileDevice>
#include <QHostAddress>
#include <QNetworkAccessManager>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QNetworkConfiguration>
#endif
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "nmrelay_p.h"
#include "nmtransferguard_p.h"
#include "requestprofile_p.h"
#include "transferoptions_p.h"

namespace {
const char s_fault[] = "_tarnex_fault";
const char s_closePending[] = "_tarnex_close_pending";
}

namespace TarnexNm {

namespace {

NmRelay *relayOf(QObject *owner)
{
    return owner->findChild<NmRelay *>(QString(), Qt::FindDirectChildrenOnly);
}

bool asksForClose(const QNetworkReply *reply)
{
    return reply->request().rawHeader("Connection").compare("close", Qt::CaseInsensitive) == 0;
}

// The manager keeps a connection for the next request even when the request
// said "Connection: close" and the server left it open. Its connections are
// dropped instead once the reply has ended, before the transfer reports its
// end (so the caller cannot start another on it first); while another reply
// is still running that waits, since dropping the cache would silently stall
// that one.
void closeIfAsked(QNetworkAccessManager *manager, QNetworkReply *finished)
{
    if (asksForClose(finished))
        manager->setProperty(s_closePending, true);
    if (!manager->property(s_closePending).toBool())
        return;
    for (const QNetworkReply *reply :
        manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly))
        if (reply != finished && reply->isRunning())
            return;
    manager->setProperty(s_closePending, false);
    manager->clearConnectionCache();
}

} // namespace

QNetworkAccessManager *newManager(QObject *owner)
{
    auto *manager = new QNetworkAccessManager(owner);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 dropped bearer management with these two; its manager is always
    // accessible and uses no configuration.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    manager->setNetworkAccessible(QNetworkAccessManager::Accessible);
    manager->setConfiguration(QNetworkConfiguration());
    QT_WARNING_POP
#endif
    // Connected first, so it runs before the transfer class hears of the end.
    QObject::connect(manager, &QNetworkAccessManager::finished, manager,
        [manager](QNetworkReply *reply) { closeIfAsked(manager, reply); });
    return manager;
}

void useRelay(
    QObject *owner, QNetworkAccessManager *manager, const QUrl &url, const QString &proxy, int proxyPort)
{
    NmRelay *relay = relayOf(owner);
    if (!relay) {
        relay = new NmRelay(owner);
        QPointer<QNetworkAccessManager> guard(manager);
        relay->setFaultHandler([guard](quint64 tag, int code) {
            if (!guard || tag == 0)
                return false;
            const QByteArray id = QByteArray::number(tag);
            for (QNetworkReply *reply : guard->findChildren<QNetworkReply *>()) {
                if (reply->isFinished() || reply->request().rawHeader(NmRelay::TagField) != id)
                    continue;
                reply->setProperty(s_fault, code);
                // Later: ending the reply reaches the caller, who may delete
                // the transfer, relay included.
                QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
                return true;
            }
            return false;
        });
    }
    const bool ipv6 = QHostAddress(url.host()).protocol() == QAbstractSocket::IPv6Protocol;
    const TransferOptions *options = TransferOptions::of(owner);
    NmRelay::Bearer bearer;
    bearer.interfaceName = options->networkInterface;
    bearer.dnsServers = options->dnsServers;
    bearer.dnsTimeout = options->dnsTimeout;
    manager->setProxy(relay->route(proxy, quint16(proxyPort), ipv6, bearer));
}

void setIdentity(QNetworkRequest &request)
{
    // Qt 6 tries an h2c upgrade on plain http when QT_NETWORK_H2C_ALLOWED is
    // set; the MMSC and the operator's WAP proxy get HTTP/1.1 as from Qt 5.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    const RequestProfile profile = RequestProfile::current();
    profile.debugIdentity();
    for (const auto &field : profile.fields)
        request.setRawHeader(field.first, field.second.toLatin1());
}

quint64 prepareRequest(QObject *owner, QNetworkRequest &request)
{
    // Qt 6's manager follows a redirect by itself, Qt 5's does not: under
    // both the MMSC's own answer is reported, as by the socket variants,
    // and a PDU is never posted somewhere the caller did not name.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!request.hasRawHeader("Accept-Encoding"))
        request.setRawHeader("Accept-Encoding", "identity");
    NmRelay *relay = relayOf(owner);
    if (!relay || !relay->isRouting())
        return 0;
    // Inside TLS the tag could not be taken out again; the relay then counts
    // the request's bytes as those of its connections.
    const quint64 tag = relay->nextTag();
    if (request.url().scheme() == QLatin1String("http")) {
        request.setRawHeader(NmRelay::TagField, QByteArray::number(tag));
        if (!request.hasRawHeader("User-Agent"))
            request.setRawHeader(NmRelay::NoUserAgentField, "1");
    }
    return tag;
}

void watch(QObject *owner, QNetworkReply *reply, quint64 tag)
{
    const TransferOptions *options = TransferOptions::of(owner);
    NmRelay *relay = relayOf(owner);
    new NmTransferGuard(
        reply, tag != 0 ? relay : nullptr, tag, options->transferTimeout, options->maxResponseSize);
}

void setFault(QNetworkReply *reply, int code)
{
    reply->setProperty(s_fault, code);
}

int faultCode(const QNetworkReply *reply)
{
    return reply->property(s_fault).toInt();
}

bool store(QIODevice *device, const QByteArray &data)
{
    if (device->write(data) != data.size())
        return false;
    auto *file = qobject_cast<QFileDevice *>(device);
    return !file || file->flush();
}

} // namespace TarnexNm
