#ifndef MMSSENDER_H
#define MMSSENDER_H

#include "mmssenderbase.h"

class QHttp;

// MMS sender on the socket-level HTTP client: one plain-HTTP POST per send,
// to "mmscPort" of the MMSC's host (or through the proxy), with the answer
// streamed by the client into the response device.
// A sequential PDU device (a process, a socket) is read to its end before the
// POST goes out. One closed before its end, or a process that crashed or
// exited non-zero, ends the send with 1 (UnknownError) and nothing is sent.
// The time limit (setTransferTimeout) covers that reading too: a stream that
// delivers nothing for that long ends the send with 7. On either limit, what
// of the answer had arrived stays in the response device.
class MmsSender : public MmsSenderBase
{
    Q_OBJECT

public:
    MmsSender();
    ~MmsSender() override;

    void startMmsSend(QIODevice *pdu, QIODevice *response) override;
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
