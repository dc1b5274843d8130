#ifndef QHTTP_H
#define QHTTP_H

#include <QObject>
#include <QString>
#include <QStringList>

#include "qhttpheader.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"

class QHttpPrivate;
class QIODevice;

// Socket-level HTTP/1.1 client with the interface of Qt 4's QHttp, on which
// the socket sender and receiver are written.
//
// setHost(), setProxy() and request() each queue a request and return its id
// (1, 2, 3, ...). Requests run one after another, starting only once control
// is back in the event loop. A request body is streamed from a random-access
// data device, the response body is written into the destination device as
// it arrives; neither is held whole in memory. An idle connection is kept for the next
// request to the same server.
//
// Unlike Qt 4, a failed request ends only itself: the requests queued after it
// still run, so a caller waiting for one of them is not left hanging.
//
// The client (or its owner) may be deleted from a slot connected to any of
// its signals: the work in progress is dropped, the connection closed, and
// nothing more is emitted.
class QHttp : public QObject
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
    // An empty host name turns the proxy off. A user name is sent as Basic
    // proxy credentials.
    int setProxy(const QString &host, int port, const QString &username = QString(),
        const QString &password = QString());
    // data: request body, read from its current position to its end (may be
    // null). A sequential device (a process, a socket) is read to its end
    // before the request goes out: until read() fails, as it does past the
    // end of a stream (a process exited and drained, a socket its peer
    // closed). A device closed or destroyed before that, or a process that
    // crashed or exited non-zero, fails the request. to: receives the
    // response body (null: the body is dropped). Both must stay alive until
    // the request has finished.
    int request(const QHttpRequestHeader &header, QIODevice *data = nullptr, QIODevice *to = nullptr);

    // Limits of the requests queued from now on; 0 (the default) means none.
    // A request that moves no byte for msecs ends with Aborted: its clock
    // runs from its start through host lookup, connecting, waiting for the
    // answer and the body both ways, and starts again whenever bytes come
    // from the socket, the kernel takes or the peer acknowledges bytes sent,
    // or a sequential body device still being read delivers. An answer body
    // larger than bytes ends the request with WrongContentLength: as soon as
    // its Content-Length says so, before any of it reaches the destination,
    // otherwise when the limit would be passed, with nothing past it
    // written. Each logs a warning.
    void setTransferTimeout(int msecs);
    void setMaxResponseSize(qint64 bytes);
    // Where the requests queued from now on go. Every socket is bound to the
    // interface `name` (empty: unbound); one that cannot be bound fails the
    // request with ConnectionRefused rather than leave unbound. Host names
    // are resolved only through `servers` (DnsResolver's forms; empty: the
    // system resolver), within `lookupTimeout` ms or the transfer time limit
    // when that is shorter; a name not found there, or no answer in time,
    // fails the request with HostNotFound. An idle connection made with other
    // settings is not reused.
    void setNetworkInterface(const QString &name);
    void setDnsServers(const QStringList &servers, int lookupTimeout);

    // The destination of the current request: still set while its
    // requestFinished is emitted.
    QIODevice *currentDestinationDevice() const;
    Error error() const;
    QHttpResponseHeader lastResponse() const;

public Q_SLOTS:
    void abort();

Q_SIGNALS:
    void stateChanged(int state);
    void requestFinished(int id, bool error);
    void dataSendProgress(int done, int total);
    void dataReadProgress(int done, int total);

private:
    friend class QHttpPrivate;
    QHttpPrivate *d;
};

#endif // QHTTP_H
