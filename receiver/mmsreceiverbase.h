#ifndef MMSRECEIVERBASE_H
#define MMSRECEIVERBASE_H

#include <QObject>
#include <QString>

class QIODevice;

// Abstract MMS downloader: the optional HTTP proxy as properties, one GET per
// downloadMms(), outcome and progress through signals. A receiver may be
// deleted from a slot connected to any of its signals.
class MmsReceiverBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString proxy READ proxy WRITE setProxy)
    Q_PROPERTY(int proxyPort READ proxyPort WRITE setProxyPort)

public:
    MmsReceiverBase();
    ~MmsReceiverBase() override;

    QString proxy() const;
    void setProxy(const QString &proxy);
    int proxyPort();
    void setProxyPort(int port);

    // Starts an HTTP GET of `url`; the body ends up in `device`, which must be
    // open for writing and stays the caller's.
    virtual void downloadMms(const QString &url, QIODevice *device) = 0;
    virtual void abort() = 0;

    // Limits of a transfer, read when it starts (settings made meanwhile
    // count from the next one).
    //
    // No-progress time limit in milliseconds, 120000 by default; 0 (or less)
    // means none. It counts from the start of a transfer and restarts whenever
    // a byte goes out or comes in, through name look-up, connecting (to the
    // server or the proxy), waiting for the answer and the body both ways, so
    // a slow transfer that keeps moving is never ended by it. When it runs
    // out the transfer ends once with downloadCompleted(7) on the socket
    // variants (their "aborted" code: the library ended it) and 4
    // (QNetworkReply::TimeoutError) on the network-manager variants, and the
    // object can be used again at once.
    void setTransferTimeout(int msecs);
    int transferTimeout() const;
    // Largest answer body in bytes; 0 (or less) means none. The socket
    // variants stream the body and have no limit by default; the
    // network-manager variants hold it in memory and default to the limit
    // set when the library was built (32 MiB unless changed). An answer that
    // announces more ends before any of its body reaches the device; one
    // without a length ends as the limit would be passed, with nothing past
    // it in the device. Outcome 6 on the socket variants (their
    // wrong-content-length code), 299 (QNetworkReply::UnknownContentError)
    // on the network-manager variants.
    void setMaxResponseSize(qint64 bytes);
    qint64 maxResponseSize() const;

Q_SIGNALS:
    void downloadCompleted(int httpError);
    void downloadProgress(int done, int total);
    void connectionStateChanged(int state);

private:
    Q_DISABLE_COPY(MmsReceiverBase)

    QString m_proxy;
    int m_proxy_port = 0;
};

#endif // MMSRECEIVERBASE_H
