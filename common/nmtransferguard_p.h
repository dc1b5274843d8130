#ifndef NMTRANSFERGUARD_P_H
#define NMTRANSFERGUARD_P_H

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class NmRelay;
class QNetworkReply;

// Holds a reply of Qt's manager to the transfer's limits. A child of the
// reply, so it goes with it.
// - Time: nothing moved for the limit, on either side of the relay (or, with
//   no relay, in the reply's own progress), ends the reply with TimeoutError;
//   with HostNotFoundError when it was a name look-up through the given DNS
//   servers that took it all.
// - Size: an answer the manager holds beyond the limit ends the reply with
//   UnknownContentError. The relay refuses a plain-HTTP answer before that;
//   this is what bounds the others (TLS, no relay).
class NmTransferGuard : public QObject
{
    Q_OBJECT

public:
    // timeLimit in ms and maxAnswer in bytes; 0 for none.
    NmTransferGuard(QNetworkReply *reply, NmRelay *relay, quint64 tag, int timeLimit, qint64 maxAnswer);
    ~NmTransferGuard() override;

private:
    void check();
    void checkSize();
    void noteMove();
    // How often the kernel's unacknowledged bytes are looked at: a fraction
    // of the limit, so a slow upload is seen moving, and half a second at
    // most, so a stall is seen soon after the limit.
    int pollInterval() const { return qBound(1, m_timeLimit / 4, 500); }

    QNetworkReply *const m_reply;
    const QPointer<NmRelay> m_relay;
    const quint64 m_tag;
    const int m_timeLimit;
    const qint64 m_maxAnswer; // as the manager holds it; 0: none, or the relay's to check
    QTimer m_timer;
    QElapsedTimer m_lastMove; // of the reply's own progress
};

#endif // NMTRANSFERGUARD_P_H
