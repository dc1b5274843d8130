#ifndef MMSRECEIVER_H
#define MMSRECEIVER_H

#include "mmsreceiverbase.h"

class QHttp;

// MMS downloader on the socket-level HTTP client: one plain-HTTP GET per
// download, the body streamed by the client straight into the caller's device.
// A download ended by the time or size limit leaves what had arrived there
// (never more than the size limit).
class MmsReceiver : public MmsReceiverBase
{
    Q_OBJECT

public:
    MmsReceiver();
    ~MmsReceiver() override;

    void downloadMms(const QString &url, QIODevice *device) override;
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
