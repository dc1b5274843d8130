#ifndef QHTTP_H
#define QHTTP_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "httpresponseparser.h"
#include "qhttpheader.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"

class QHostInfo;
class QIODevice;
class QTcpSocket;

// Socket-level HTTP/1.1 client with the interface of Qt 4's QHttp, on which
// the socket sender and receiver are written.
//
// setHost(), setProxy() and request() each queue a request and return its id
// (1, 2, 3, ...). Requests run one after another, starting only once control
// is back in the event loop. A request body is streamed from the data device,
// the response body is written into the destination device as it arrives;
// neither is held whole in memory. An idle connection is kept for the next
// request to the same server.
//
// Unlike Qt 4, a failed request ends only itself: the requests queued after it
// still run, so a caller waiting for one of them is not left hanging.
class QHttp : public QObject, private HttpResponseParser::Handler
{
    Q_OBJECT

public:
    enum ConnectionMode { ConnectionModeHttp = 0, ConnectionModeHttps = 1 };
    enum State {
        Unconnected = 0,
        HostLookup = 1,
        Connecting = 2,
        Sending = 3,
        Reading = 4,
        Connected = 5,
        Closing = 6
    };
    enum Error {
        NoError = 0,
        UnknownError = 1,
        HostNotFound = 2,
        ConnectionRefused = 3,
        UnexpectedClose = 4,
        InvalidResponseHeader = 5,
        WrongContentLength = 6,
        Aborted = 7,
        AuthenticationRequiredError = 8,
        ProxyAuthenticationRequiredError = 9
    };
    Q_ENUM(State)
    Q_ENUM(Error)

    explicit QHttp(QObject *parent = nullptr);
    ~QHttp() override;

    // Port 0 means the default HTTP port 80. Only plain HTTP is spoken; the
    // HTTPS mode is refused when its request is reached.
    int setHost(const QString &hostName, ConnectionMode mode, quint16 port = 0);
    int setHost(const QString &hostName, quint16 port = 80);
    // An empty host name turns the proxy off. A user name is sent as Basic
    // proxy credentials.
    int setProxy(const QString &host, int port, const QString &username = QString(),
        const QString &password = QString());
    // data: request body, read from its current position to its end (may be
    // null). to: receives the response body (null: the body is dropped).
    // Both must stay alive until the request has finished.
    int request(const QHttpRequestHeader &header, QIODevice *data = nullptr, QIODevice *to = nullptr);

    int currentId() const;
    QIODevice *currentSourceDevice() const;
    QIODevice *currentDestinationDevice() const;
    QHttpRequestHeader currentRequest() const;
    bool hasPendingRequests() const;
    void clearPendingRequests();

    State state() const { return m_state; }
    Error error() const { return m_error; }
    QString errorString() const;
    QHttpResponseHeader lastResponse() const { return m_lastResponse; }

public Q_SLOTS:
    void abort();

Q_SIGNALS:
    void stateChanged(int state);
    void responseHeaderReceived(const QHttpResponseHeader &resp);
    void requestStarted(int id);
    void requestFinished(int id, bool error);
    void dataSendProgress(int done, int total);
    void dataReadProgress(int done, int total);
    void done(bool error);

private Q_SLOTS:
    void startNextRequest();
    void hostLookedUp(const QHostInfo &info);
    void socketConnected();
    void socketReadyRead();
    void socketBytesWritten();
    void socketDisconnected();
    void socketError();

private:
    struct Request;

    bool headerReceived(const QHttpResponseHeader &header) override;
    bool bodyReceived(const char *data, qint64 size) override;

    int enqueue(Request *r);
    void scheduleNext();
    Request *httpRequest() const; // the running HTTP request, if any
    void startHttpRequest();
    void connectToServer();
    void tryNextAddress();
    void sendRequest();
    void fillSocket();
    void reportSendProgress();
    void reportReadProgress();
    bool readResponse();
    void writeFailed();
    void connectionLost();
    void responseComplete();
    void failRequest(Error error, const QString &errorString);
    void finishRequest(Error error, const QString &errorString);
    void closeConnection();
    void dropSocket();
    void setState(State state);
    bool requestHead(const Request &r, QByteArray *head, QString *problem) const;

    int m_lastId = 0;
    QList<Request *> m_pending; // m_pending.first() is the current request once started
    bool m_running = false; // the first request has started
    bool m_startScheduled = false;
    bool m_finishing = false; // inside requestFinished of the current request
    bool m_abortedInFinish = false;
    bool m_anyError = false;
    quint64 m_generation = 0; // changes when the current request ends

    // Settings applied by the setHost/setProxy requests as they are reached.
    QString m_hostName;
    quint16 m_port = 80;
    ConnectionMode m_mode = ConnectionModeHttp;
    QString m_proxyHost;
    quint16 m_proxyPort = 80;
    QString m_proxyUser;
    QString m_proxyPassword;

    // Connection.
    QTcpSocket *m_socket = nullptr;
    QString m_connHost; // where the socket goes and for which server
    quint16 m_connPort = 0;
    QString m_connServer;
    quint16 m_connServerPort = 0;
    bool m_connReused = false;
    bool m_retried = false;
    bool m_socketConnected = false;
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;
    QString m_connectError;

    // Current exchange.
    HttpResponseParser m_parser;
    QByteArray m_readBuffer;
    QByteArray m_head;
    QByteArray m_chunk;
    QByteArray m_sendBuffer; // a sequential body, read whole first
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

    State m_state = Unconnected;
    Error m_error = NoError;
    QString m_errorString;
    QHttpResponseHeader m_lastResponse;
};

#endif // QHTTP_H
