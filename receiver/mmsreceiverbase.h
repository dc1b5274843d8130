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
