#ifndef MMSRECEIVERNM_H
#define MMSRECEIVERNM_H

#include <QPointer>

#include "mmsreceiverbase.h"

class QNetworkAccessManager;
class QNetworkReply;

// MMS downloader on Qt's network access manager: the whole URL (scheme and
// port included) is requested, and the reply's content goes into the device
// in one write once the reply has ended.
// The answer is held in memory until then, so the answer size limit starts
// at the one set at build time (TARNEX_NM_MAX_ANSWER_BYTES, 32 MiB by
// default); a larger answer ends the transfer with 299 (UnknownContentError),
// nothing stored. setMaxResponseSize() replaces the limit.
// The manager's connections pass a relay inside the library, which checks
// plain-HTTP answers: an answer head over 64 KiB or broken framing ends the
// transfer with 399 (ProtocolFailure). No content coding is asked for; an
// answer is handed on as it came.
class MmsReceiverNM : public MmsReceiverBase
{
    Q_OBJECT

public:
    MmsReceiverNM();
    ~MmsReceiverNM() override;

    void downloadMms(const QString &url, QIODevice *device) override;
    void abort() override;

private Q_SLOTS:
    void networkManagerFinished(QNetworkReply *);
    void httpDataReceiveProgress(qint64 done, qint64 total);

private:
    Q_DISABLE_COPY(MmsReceiverNM)

    // Guarded: a device destroyed while its download runs is not written to.
    QPointer<QIODevice> m_device;
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply;
};

#endif // MMSRECEIVERNM_H
