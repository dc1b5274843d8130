#ifndef MMSRECEIVER_H
#define MMSRECEIVER_H

#include "mmsreceiverbase.h"

class QHttp;

/**
 * \file mmsreceiver.h
 * MmsReceiver, the receiver on the library's own socket-level HTTP client.
 */

/**
 * \brief MMS receiver on the library's own socket-level HTTP client.
 *
 * Each download is one HTTP/1.1 GET, always plain HTTP, to the URL's host and port (80 when it has none),
 * or to the proxy when #proxy is set. The request target is the URL's path ("/" when it has none) and
 * query; the fields are the identity fields of MmsUAProf (with the carrier fields of the settings file, see
 * \ref behaviour) and Host with the URL's host alone, never a port. The answer body is streamed into the
 * device as it arrives, whatever its status, so an error page (404, 500, ...) ends up there too. An idle
 * connection is kept for the next download from the same server.
 *
 * downloadCompleted() carries the answer's HTTP status, or one of the client's codes 1 to 9
 * (\ref socket_codes): for example 7 when the time limit ran out and 6 for an answer over the size limit. A
 * download that ends with a code leaves what had arrived in the device (never more than the size limit).
 * abort() ends a download without downloadCompleted(). connectionStateChanged() reports the client's
 * states (\ref socket_states).
 */
class MmsReceiver : public MmsReceiverBase
{
    Q_OBJECT

public:
    /// A receiver without a parent; see MmsReceiverBase().
    MmsReceiver();
    /// Ends a download in progress without a signal and closes its connection.
    ~MmsReceiver() override;

    /// Queues the GET and returns; see MmsReceiverBase::downloadMms().
    void downloadMms(const QString &url, QIODevice *device) override;
    /// Drops the download in progress and closes its connection; no downloadCompleted() follows.
    void abort() override;

private Q_SLOTS:
    void httpRequestFinished(int requestId, bool error);
    void httpDataReceiveProgress(int done, int total);
    void httpConnectionState(int state);

private:
    Q_DISABLE_COPY(MmsReceiver)

    QHttp *m_http;
    int m_transaction_id = -1;
    // Whether the client holds a proxy from an earlier download, which a
    // download without a proxy must clear.
    bool m_proxy_set = false;
};

#endif // MMSRECEIVER_H
