#ifndef MMSSENDERBASE_H
#define MMSSENDERBASE_H

#include <QObject>
#include <QString>

class QIODevice;

// Abstract MMS sender: the MMSC and optional HTTP proxy as properties, one
// POST per startMmsSend(), outcome and progress through signals. The
// properties are read afresh by every send. A sender may be deleted from a
// slot connected to any of its signals.
class MmsSenderBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString mmsc READ mmsc WRITE setMmsc)
    Q_PROPERTY(int mmscPort READ mmscPort WRITE setMmscPort)
    Q_PROPERTY(QString proxy READ proxy WRITE setProxy)
    Q_PROPERTY(int proxyPort READ proxyPort WRITE setProxyPort)

public:
    MmsSenderBase();
    ~MmsSenderBase() override;

    QString mmsc() const;
    void setMmsc(const QString &mmsc);
    int mmscPort() const;
    void setMmscPort(int port);
    QString proxy() const;
    void setProxy(const QString &proxy);
    int proxyPort();
    void setProxyPort(int port);

    // Starts one HTTP POST of the PDU read from `pdu`; the MMSC's answer goes
    // to `response`. Neither device is opened, closed or deleted here.
    virtual void startMmsSend(QIODevice *pdu, QIODevice *response) = 0;
    virtual void abort() = 0;

    // Limits of a transfer, read when it starts (settings made meanwhile
    // count from the next one).
    //
    // No-progress time limit in milliseconds, 120000 by default; 0 (or less)
    // means none. It counts from the start of a transfer and restarts whenever
    // a byte goes out or comes in, through name look-up, connecting (to the
    // server or the proxy), waiting for the answer and the body both ways, so
    // a slow transfer that keeps moving is never ended by it. When it runs
    // out the transfer ends once with mmsSendComplete(7) on the socket
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
    void mmsSendComplete(int httpError);
    void sendProgress(int done, int total);
    void connectionStateChanged(int state);

private:
    Q_DISABLE_COPY(MmsSenderBase)

    QString m_mmsc;
    int m_mmsc_port = 0;
    QString m_proxy;
    int m_proxy_port = 0;
};

#endif // MMSSENDERBASE_H
