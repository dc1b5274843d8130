#ifndef MMSSENDERNM_H
#define MMSSENDERNM_H

#include <QPointer>

#include "mmssenderbase.h"

class QNetworkAccessManager;
class QNetworkReply;

// MMS sender on Qt's network access manager: the MMSC URL's own scheme and
// port count, the proxy is an HTTP caching proxy, and the answer is copied into
// the response device once the transfer has ended.
// The answer is held in memory until then, so the answer size limit starts
// at the one set at build time (TARNEX_NM_MAX_ANSWER_BYTES, 32 MiB by
// default); a larger answer ends the transfer with 299 (UnknownContentError),
// nothing stored. setMaxResponseSize() replaces the limit.
// The manager's connections pass a relay inside the library, which checks
// plain-HTTP answers: an answer head over 64 KiB or broken framing ends the
// transfer with 399 (ProtocolFailure). No content coding is asked for; an
// answer is handed on as it came.
class MmsSenderNM : public MmsSenderBase
{
    Q_OBJECT

public:
    MmsSenderNM();
    ~MmsSenderNM() override;

    void startMmsSend(QIODevice *pdu, QIODevice *response) override;
    void abort() override;

private Q_SLOTS:
    void networkManagerFinished(QNetworkReply *reply);
    void httpDataSendProgress(qint64 done, qint64 total);

private:
    Q_DISABLE_COPY(MmsSenderNM)

    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply;
    QPointer<QIODevice> m_response;
};

#endif // MMSSENDERNM_H
