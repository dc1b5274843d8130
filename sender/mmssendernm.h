#ifndef MMSSENDERNM_H
#define MMSSENDERNM_H

#include <QPointer>

#include "mmssenderbase.h"

class QNetworkAccessManager;
class QNetworkReply;

/**
 * \file mmssendernm.h
 * MmsSenderNM, the sender on Qt's network access manager.
 */

/**
 * \brief MMS sender on Qt's QNetworkAccessManager.
 *
 * Each send is one HTTP/1.1 POST of the whole #mmsc URL: its scheme counts (http or https), and so does its
 * port unless #mmscPort is not 0, which replaces it. #proxy is an HTTP proxy that gets the requests in
 * their absolute form. The request carries Content-type "application/vnd.wap.mms-message", the identity
 * fields of MmsUAProf with the carrier fields of the settings file (\ref settings_file), and
 * "Accept-Encoding: identity" unless the settings file names another; the manager forms the request line
 * and the Host field.
 *
 * The manager's connections pass a relay inside the library, on the loopback address, which only this
 * process's own sockets may use. On plain HTTP it checks each answer as it passes: a head over 64 KiB,
 * conflicting or malformed Content-Length, a NUL in the head or a malformed chunk ends the send with 399
 * (QNetworkReply::ProtocolFailure) and a warning. Inside https only Qt's own checks apply.
 *
 * The answer is held in memory until the send has ended and then written into the response device in one
 * piece, only when the send succeeded; a file device is flushed. An answer larger than the size limit ends
 * the send with 299 (QNetworkReply::UnknownContentError) and nothing is stored; so does a write or flush
 * that fails. A missing or empty answer, or a send without a response device, gives the warning "MMS
 * sending completed. Ignore response" and the completion with the status.
 *
 * mmsSendComplete() carries the HTTP status when the manager reports no error (2xx, and 3xx: a redirect is
 * never followed, under Qt 5 and Qt 6 alike), otherwise a QNetworkReply::NetworkError value (\ref nm_codes):
 * a 4xx or 5xx answer arrives as the manager's code for it (203 for 404), abort() as 5. sendProgress()
 * reports the manager's upload progress narrowed to int; an upload without a known total comes as (0, 1), and
 * the manager's (0, 0) after a complete upload is not passed on. connectionStateChanged() is never emitted.
 */
class MmsSenderNM : public MmsSenderBase
{
    Q_OBJECT

public:
    /// A sender without a parent, with the build-time answer size limit; see MmsSenderBase().
    MmsSenderNM();
    /// Ends a send in progress without a signal.
    ~MmsSenderNM() override;

    /// Starts the POST and returns; see MmsSenderBase::startMmsSend().
    void startMmsSend(QIODevice *pdu, QIODevice *response) override;
    /// Cancels the send in progress, which then ends with mmsSendComplete(5).
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
