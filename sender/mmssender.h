#ifndef MMSSENDER_H
#define MMSSENDER_H

#include "mmssenderbase.h"

class QHttp;

/**
 * \file mmssender.h
 * MmsSender, the sender on the library's own socket-level HTTP client.
 */

/**
 * \brief MMS sender on the library's own socket-level HTTP client.
 *
 * Each send is one HTTP/1.1 POST, always plain HTTP, to #mmscPort (0: port 80) of the host in #mmsc, or
 * to the proxy when #proxy is set. The request target is the URL's path ("/" when it has none) and query;
 * the fields are Content-Type "application/vnd.wap.mms-message", the identity fields of MmsUAProf (with
 * the carrier fields of the settings file, see \ref behaviour) and Host with the URL's host alone, never a
 * port. The MMSC's answer body is streamed into the response device as it arrives, whatever its status.
 * An idle connection is kept for the next send to the same server.
 *
 * A sequential PDU device (a process, a socket) is read to its end before the POST goes out; one closed
 * before its end, or a process that crashed or exited non-zero, ends the send with 1 (UnknownError) and
 * nothing is sent. The time limit (setTransferTimeout()) covers that reading too. On any failure, what of
 * the answer had arrived stays in the response device.
 *
 * mmsSendComplete() carries the answer's HTTP status, or one of the client's codes 1 to 9
 * (\ref socket_codes): for example 7 when the time limit ran out and 6 for an answer over the size limit.
 * abort() ends a send without mmsSendComplete(). connectionStateChanged() reports the client's states
 * (\ref socket_states).
 */
class MmsSender : public MmsSenderBase
{
    Q_OBJECT

public:
    /// A sender without a parent; see MmsSenderBase().
    MmsSender();
    /// Ends a send in progress without a signal and closes its connection.
    ~MmsSender() override;

    /// Queues the POST and returns; see MmsSenderBase::startMmsSend().
    void startMmsSend(QIODevice *pdu, QIODevice *response) override;
    /// Drops the send in progress and closes its connection; no mmsSendComplete() follows.
    void abort() override;

private Q_SLOTS:
    void httpRequestFinished(int requestId, bool error);
    void httpDataSendProgress(int done, int total);
    void httpConnectionState(int state);

private:
    Q_DISABLE_COPY(MmsSender)

    QHttp *m_http;
    int m_transaction_id = -1;
    // Whether the client holds a proxy from an earlier send, which a send
    // without a proxy must clear.
    bool m_proxy_set = false;
};

#endif // MMSSENDER_H
