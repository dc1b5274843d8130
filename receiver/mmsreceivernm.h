#ifndef MMSRECEIVERNM_H
#define MMSRECEIVERNM_H

#include <QPointer>

#include "mmsreceiverbase.h"

class QNetworkAccessManager;
class QNetworkReply;

/**
 * \file mmsreceivernm.h
 * MmsReceiverNM, the receiver on Qt's network access manager.
 */

/**
 * \brief MMS receiver on Qt's QNetworkAccessManager.
 *
 * Each download is one HTTP/1.1 GET of the whole URL: its scheme (http or https) and port count. #proxy is
 * an HTTP proxy that gets the requests in their absolute form. The request carries the identity fields
 * of MmsUAProf with the carrier fields of the settings file (\ref settings_file), and
 * "Accept-Encoding: identity" unless the settings file names another; the manager forms the request line
 * and the Host field. A URL of another scheme (e.g. ftp) ends with 103 (ProxyNotFoundError).
 *
 * The manager's connections pass a relay inside the library, on the loopback address, which only this
 * process's own sockets may use. On plain HTTP it checks each answer as it passes: a head over 64 KiB,
 * conflicting or malformed Content-Length, a NUL in the head or a malformed chunk ends the download with
 * 399 (QNetworkReply::ProtocolFailure) and a warning. Inside https only Qt's own checks apply.
 *
 * The answer is held in memory until the download has ended and then written into the device in one
 * piece, also when the download failed (an error page, or what had arrived before the connection broke)
 * but not after abort(); a file device is flushed. An answer larger than the size limit ends the download
 * with 299 (QNetworkReply::UnknownContentError) and nothing is stored; a write or flush that fails turns a
 * success into 299.
 *
 * downloadCompleted() carries the HTTP status when the manager reports no error (2xx, and 3xx: a redirect is
 * never followed, under Qt 5 and Qt 6 alike), otherwise a QNetworkReply::NetworkError value (\ref nm_codes):
 * a 4xx or 5xx answer arrives as the manager's code for it (203 for 404), abort() as 5. downloadProgress()
 * reports the manager's progress narrowed to int, with -1 as the total while it is not known.
 * connectionStateChanged() is never emitted.
 */
class MmsReceiverNM : public MmsReceiverBase
{
    Q_OBJECT

public:
    /// A receiver without a parent, with the build-time answer size limit; see MmsReceiverBase().
    MmsReceiverNM();
    /// Ends a download in progress without a signal.
    ~MmsReceiverNM() override;

    /// Starts the GET and returns; see MmsReceiverBase::downloadMms().
    void downloadMms(const QString &url, QIODevice *device) override;
    /// Cancels the download in progress, which then ends with downloadCompleted(5).
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
