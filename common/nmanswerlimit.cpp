#include "nmanswerlimit_p.h"

#include <QDebug>
#include <QNetworkReply>

#include "tarnexconfig_p.h"

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
