#include "nmtransfer_p.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkConfiguration>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "mmsuaprof.h"
#include "tarnexconfig_p.h"
#include "tarnexdebug_p.h"

namespace {
const char s_tooLarge[] = "_tarnex_answer_too_large";
}

namespace TarnexNm {

namespace {

void check(QNetworkReply *reply)
{
    if (reply->property(s_tooLarge).toBool() || !reply->isRunning())
        return;
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    const qint64 held = reply->bytesAvailable();
    if (announced <= TARNEX_NM_MAX_ANSWER_BYTES && held <= TARNEX_NM_MAX_ANSWER_BYTES)
        return;
    qWarning() << "[LIBTARNEX] Answer larger than" << TARNEX_NM_MAX_ANSWER_BYTES
               << "bytes, transfer aborted; announced:" << announced << "received:" << held;
    reply->setProperty(s_tooLarge, true);
    reply->abort();
}

} // namespace

QNetworkAccessManager *newManager(QObject *owner)
{
    auto *manager = new QNetworkAccessManager(owner);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    manager->setNetworkAccessible(QNetworkAccessManager::Accessible);
    manager->setConfiguration(QNetworkConfiguration());
    QT_WARNING_POP
    return manager;
}

void setIdentity(QNetworkRequest &request)
{
    const QString userAgent = MmsUAProf::getUserAgent();
    if (!userAgent.isEmpty()) {
        request.setRawHeader("User-Agent", userAgent.toLatin1());
        TARNEX_DEBUG << "D: [LIBTARNEX] User-Agent: " << userAgent;
    }
    const QString profileUrl = MmsUAProf::getProfileUrl();
    if (!profileUrl.isEmpty()) {
        request.setRawHeader("x-wap-profile", profileUrl.toLatin1());
        TARNEX_DEBUG << "D: [LIBTARNEX] Profile URL: " << profileUrl;
    }
}

void limitAnswerSize(QNetworkReply *reply)
{
    // The announced Content-Length is refused as soon as the head is in,
    // before the body piles up; an answer without one is cut off once the
    // manager holds more than the limit.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] { check(reply); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { check(reply); });
}

bool answerTooLarge(const QNetworkReply *reply)
{
    return reply->property(s_tooLarge).toBool();
}

} // namespace TarnexNm
