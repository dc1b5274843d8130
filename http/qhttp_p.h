#ifndef QHTTP_P_H
#define QHTTP_P_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "dnsresolver_p.h"
#include "httpresponseparser.h"
#include "qhttp.h"

class QHostInfo;
class QTcpSocket;
class QTimer;

// The working half of QHttp. It is not owned through the QObject tree: when
// the QHttp goes while one of its signals is being emitted (its owner deleted
// from a slot), this half lives on until the code on the stack has returned,
// so nothing there reads freed memory, and nothing more is emitted.
class QHttpPrivate : public QObject, private HttpResponseParser::Handler
{
    Q_OBJECT

public:
    explicit QHttpPrivate(QHttp *q);
    ~QHttpPrivate() override;

    // From ~QHttp: stops all work; deletes this now or once the stack has
    // unwound.
    void release();

    struct Request;
    int enqueue(Request *r);
    void abort();
    void clearPendingRequests();

    QHttp *q;
    QList<Request *> m_pending; // m_pending.first() is the current request once started
    QHttp::State m_state = QHttp::Unconnected;
    QHttp::Error m_error = QHttp::NoError;
    QHttpResponseHeader m_lastResponse;
    int m_transferTimeout = 0; // for requests queued from now on
    qint64 m_maxResponseSize = 0;
    QString m_networkInterface;
    QStringList m_dnsServers;
    int m_dnsTimeout = 0;

private Q_SLOTS:
    void startNextRequest();
    void hostLookedUp(const QHostInfo &info);
    void dnsLookedUp(DnsResolver::Error error, const QList<QHostAddress> &addresses);
    void socketConnected();
    void socketReadyRead();
    void socketBytesWritten();
    void socketDisconnected();
    void socketError();
    void bodyDeviceReadyRead();
    void bodyDeviceClosing();
    void bodyDeviceDestroyed();
    void stallTimerFired();

private:
    class Frame;

    bool headerReceived(const QHttpResponseHeader &header) override;
    bool bodyReceived(const char *data, qint64 size) override;

    void scheduleNext();
    Request *httpRequest() const; // the running HTTP request, if any
    void startHttpRequest();
    void readBodyDevice();
    void bodyDeviceLost();
    void stopReadingBody();
    void startExchange();
    void connectToServer();
    void stopLookup();
    bool bindToInterface(QTcpSocket *socket, const QHostAddress &address, QString *problem) const;
    void tryNextAddress();
    void sendRequest();
    void fillSocket();
    void noteMove()
    {
        if (m_stallLimit > 0)
            m_lastMove.start();
    }
    void noteSent();
    // How often the kernel's unacknowledged bytes are looked at: a fraction
    // of the limit, so a slow upload is seen moving, and half a second at
    // most, so a stall is seen soon after the limit.
    int pollInterval() const { return qBound(1, m_stallLimit / 4, 500); }
    void reportSendProgress();
    void reportReadProgress();
    bool readResponse();
    void writeFailed();
    void connectionLost();
    void responseComplete();
    void failRequest(QHttp::Error error);
    void finishRequest(QHttp::Error error);
    void closeConnection();
    void dropSocket();
    void setState(QHttp::State state);

    int m_lastId = 0;
    bool m_running = false; // the first request has started
    bool m_startScheduled = false;
    bool m_finishing = false; // inside requestFinished of the current request
    quint64 m_generation = 0; // changes when the current request ends, and on release()
    int m_depth = 0; // frames of this object's code on the stack

    // Settings applied by the setHost/setProxy requests as they are reached.
    QString m_hostName;
    quint16 m_port = 80;
    QHttp::ConnectionMode m_mode = QHttp::ConnectionModeHttp;
    QString m_proxyHost;
    quint16 m_proxyPort = 80;
    QString m_proxyUser;
    QString m_proxyPassword;

    // Where the running request goes out (Request's copies).
    QString m_interface;
    QStringList m_servers;
    int m_lookupTimeout = 0;

    // Connection.
    QTcpSocket *m_socket = nullptr;
    QString m_connHost; // where the socket goes and for which server
    quint16 m_connPort = 0;
    QString m_connServer;
    quint16 m_connServerPort = 0;
    QString m_connInterface; // and how it was reached
    QStringList m_connServers;
    bool m_connReused = false;
    bool m_retried = false;
    bool m_socketConnected = false;
    int m_lookupId = -1;
    DnsResolver *m_resolver = nullptr; // the look-up through m_servers, while it runs
    QList<QHostAddress> m_addresses;

    // Current exchange.
    HttpResponseParser m_parser;
    QByteArray m_readBuffer;
    QByteArray m_head;
    QByteArray m_chunk;
    QByteArray m_sendBuffer; // a sequential body, read whole first
    bool m_readingBody = false; // from a sequential device, before anything goes out
    QPointer<QIODevice> m_bodyDevice;
    bool m_bodyBuffered = false;
    qint64 m_bodyStart = 0; // position of a random-access body
    qint64 m_bodyTotal = 0;
    qint64 m_bodyQueued = 0; // handed to the socket
    qint64 m_bodyReported = -1; // last dataSendProgress value
    qint64 m_readReported = -1; // last dataReadProgress value
    bool m_requestSent = false;
    bool m_filling = false;
    bool m_writeFailed = false;
    bool m_extraBytes = false;
    bool m_aborting = false;

    // Limits of the running request.
    QTimer *m_stallTimer;
    QElapsedTimer m_lastMove; // since bytes last moved
    int m_stallLimit = 0;
    qint64 m_sizeLimit = 0;
    qint64 m_outHanded = 0; // head and body bytes given to the socket
    qint64 m_outMoved = 0; // of which the kernel has taken
    qint64 m_outAcked = 0; // of which the peer has acknowledged
    bool m_polling = false; // while the kernel holds unacknowledged bytes
    bool m_tooLarge = false;
};

#endif // QHTTP_P_H
