#include "nmtransferguard_p.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "nmrelay_p.h"
#include "nmtransfer_p.h"

NmTransferGuard::NmTransferGuard(
    QNetworkReply *reply, NmRelay *relay, quint64 tag, int timeLimit, qint64 maxAnswer)
    : QObject(reply)
    , m_reply(reply)
    , m_relay(relay)
    , m_tag(tag)
    , m_timeLimit(qMax(0, timeLimit))
    // The relay checks plain-HTTP answers before the manager holds them.
    , m_maxAnswer(relay && reply->url().scheme() == QLatin1String("http") ? 0 : qMax<qint64>(0, maxAnswer))
{
    if (m_relay)
        m_relay->watch(m_tag, m_timeLimit, maxAnswer);
    if (m_timeLimit > 0) {
        m_lastMove.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &NmTransferGuard::check);
        m_timer.start(qMin(m_timeLimit, pollInterval()));
        connect(reply, &QNetworkReply::uploadProgress, this, &NmTransferGuard::noteMove);
        connect(reply, &QNetworkReply::downloadProgress, this, &NmTransferGuard::noteMove);
    }
    if (m_maxAnswer > 0) {
        // The announced length is refused as soon as the head is in, before
        // the body piles up; an answer without one is cut off once the
        // manager holds more than the limit.
        connect(reply, &QNetworkReply::metaDataChanged, this, &NmTransferGuard::checkSize);
        connect(reply, &QNetworkReply::readyRead, this, &NmTransferGuard::checkSize);
    }
}

NmTransferGuard::~NmTransferGuard()
{
    if (m_relay)
        m_relay->unwatch(m_tag);
}

void NmTransferGuard::noteMove()
{
    m_lastMove.start();
}

// Bytes are only noted as they move; the timer comes back often enough to
// see the network acknowledge what the kernel took, and ends the reply once
// nothing has moved for the limit.
void NmTransferGuard::check()
{
    if (!m_reply->isRunning() || TarnexNm::faultCode(m_reply) != 0)
        return;
    qint64 idle = m_lastMove.elapsed();
    if (m_relay) {
        m_relay->pollAcknowledged();
        idle = qMin(idle, m_relay->idleFor(m_tag));
    }
    if (idle < m_timeLimit) {
        m_timer.start(int(qMin<qint64>(m_timeLimit - idle, pollInterval())));
        return;
    }
    int code = QNetworkReply::TimeoutError;
    if (m_relay && m_relay->isResolving(m_tag)) {
        // The look-up had all of the limit (NmRelay::lookupTimeout()).
        qWarning() << "[LIBTARNEX] No DNS answer within" << m_timeLimit
                   << "ms (the transfer time limit), transfer ended";
        code = QNetworkReply::HostNotFoundError;
    } else {
        qWarning() << "[LIBTARNEX] Nothing sent or received for" << m_timeLimit
                   << "ms (the transfer time limit), transfer ended";
    }
    TarnexNm::setFault(m_reply, code);
    if (m_relay)
        m_relay->halt(m_tag);
    // Ends the reply at once; the transfer reports it from inside.
    m_reply->abort();
}

void NmTransferGuard::checkSize()
{
    if (TarnexNm::faultCode(m_reply) != 0 || !m_reply->isRunning())
        return;
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    const qint64 held = m_reply->bytesAvailable();
    if (announced <= m_maxAnswer && held <= m_maxAnswer)
        return;
    qWarning() << "[LIBTARNEX] Answer larger than the limit of" << m_maxAnswer
               << "bytes, transfer ended; announced:" << announced << "received:" << held;
    TarnexNm::setFault(m_reply, QNetworkReply::UnknownContentError);
    if (m_relay)
        m_relay->halt(m_tag);
    m_reply->abort();
}
