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
