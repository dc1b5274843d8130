#include "qhttp.h"
#include "qhttp_p.h"

#include "httprequestwriter.h"
#include "httpsyntax.h"

#include <QFileDevice>
#include <QHostInfo>
#include <QIODevice>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>
#include <limits>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

// The socket is opened unbuffered: reads go straight from the kernel into
// one reused buffer and writes straight to the kernel, with only what the
// kernel would not take kept by the socket. Large reads keep the per-byte
// cost low on fast links.
const int ReadChunk = 256 * 1024;
const int WriteChunk = 256 * 1024;
const int BodyDeviceChunk = 64 * 1024;

int clampInt(qint64 v)
{
    return int(qMin<qint64>(v, std::numeric_limits<int>::max()));
}

} // namespace

struct QHttpPrivate::Request
{
    enum Kind { SetHost, SetProxy, Http };
    explicit Request(Kind k)
        : kind(k)
    {
    }
    Kind kind;
    int id = 0;
    QString host;
    quint16 port = 0;
    QHttp::ConnectionMode mode = QHttp::ConnectionModeHttp;
    QString user;
    QString password;
    QHttpRequestHeader header;
    QPointer<QIODevice> data;
    QPointer<QIODevice> to;
    bool hasData = false;
    bool hasTo = false;
    int transferTimeout = 0;
    qint64 maxResponseSize = 0;
    QString networkInterface;
    QStringList dnsServers;
    int lookupTimeout = 0;
};

// Held by every way into this object from outside: the event loop, the
// socket, the host lookup, the body device and the caller's abort(). Once the
// QHttp is gone and the last frame returns, this object goes too, from the
// event loop: the socket may still be inside the signal that led here.
class QHttpPrivate::Frame
{
public:
    explicit Frame(QHttpPrivate *d)
        : m_d(d)
    {
        ++d->m_depth;
    }
    ~Frame()
    {
        if (--m_d->m_depth == 0 && !m_d->q)
            m_d->deleteLater();
    }

private:
    Q_DISABLE_COPY(Frame)
    QHttpPrivate *const m_d;
};

QHttp::QHttp(QObject *parent)
    : QObject(parent)
    , d(new QHttpPrivate(this))
{
}

QHttp::~QHttp()
{
    d->release();
}

int QHttp::setHost(const QString &hostName, ConnectionMode mode, quint16 port)
{
    auto *r = new QHttpPrivate::Request(QHttpPrivate::Request::SetHost);
    r->host = hostName;
    r->mode = mode;
    r->port = port ? port : 80;
    return d->enqueue(r);
}

int QHttp::setProxy(const QString &host, int port, const QString &username, const QString &password)
{
    auto *r = new QHttpPrivate::Request(QHttpPrivate::Request::SetProxy);
    r->host = host;
    r->port = port > 0 && port <= 65535 ? quint16(port) : 80;
    r->user = username;
    r->password = password;
    return d->enqueue(r);
}

int QHttp::request(const QHttpRequestHeader &header, QIODevice *data, QIODevice *to)
{
    auto *r = new QHttpPrivate::Request(QHttpPrivate::Request::Http);
    r->header = header;
    r->data = data;
    r->to = to;
    r->hasData = data != nullptr;
    r->hasTo = to != nullptr;
    r->transferTimeout = d->m_transferTimeout;
    r->maxResponseSize = d->m_maxResponseSize;
    r->networkInterface = d->m_networkInterface;
    r->dnsServers = d->m_dnsServers;
    r->lookupTimeout = d->m_dnsTimeout;
    return d->enqueue(r);
}

void QHttp::setTransferTimeout(int msecs)
{
    d->m_transferTimeout = qMax(0, msecs);
}

void QHttp::setMaxResponseSize(qint64 bytes)
{
    d->m_maxResponseSize = qMax<qint64>(0, bytes);
}

void QHttp::setNetworkInterface(const QString &name)
{
    d->m_networkInterface = name;
}

void QHttp::setDnsServers(const QStringList &servers, int lookupTimeout)
{
    d->m_dnsServers = servers;
    d->m_dnsTimeout = lookupTimeout;
}

QIODevice *QHttp::currentDestinationDevice() const
{
    return d->m_pending.isEmpty() ? nullptr : d->m_pending.first()->to.data();
}

QHttp::Error QHttp::error() const
{
    return d->m_error;
}

QHttpResponseHeader QHttp::lastResponse() const
{
    return d->m_lastResponse;
}

void QHttp::abort()
{
    d->abort();
}

QHttpPrivate::QHttpPrivate(QHttp *q)
    : q(q)
    , m_parser(this)
    , m_stallTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    // A coarse timer may fire 5 % late: six seconds on a two-minute limit.
    m_stallTimer->setTimerType(Qt::PreciseTimer);
    connect(m_stallTimer, &QTimer::timeout, this, &QHttpPrivate::stallTimerFired);
}

QHttpPrivate::~QHttpPrivate()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    qDeleteAll(m_pending);
}

void QHttpPrivate::release()
{
    q = nullptr;
    ++m_generation; // the code on the stack stops at its next check
    m_stallTimer->stop();
    stopLookup();
    stopReadingBody();
    if (m_socket)
        dropSocket();
    if (m_depth == 0)
        delete this;
}

void QHttpPrivate::clearPendingRequests()
{
    while (m_pending.size() > 1)
        delete m_pending.takeLast();
}

int QHttpPrivate::enqueue(Request *r)
{
    r->id = ++m_lastId;
    m_pending.append(r);
    scheduleNext();
    return r->id;
}

void QHttpPrivate::setState(QHttp::State state)
{
    if (state == m_state)
        return;
    m_state = state;
    if (q)
        emit q->stateChanged(state);
}

void QHttpPrivate::scheduleNext()
{
    if (m_running || m_startScheduled || m_pending.isEmpty())
        return;
    m_startScheduled = true;
    QMetaObject::invokeMethod(this, "startNextRequest", Qt::QueuedConnection);
}

QHttpPrivate::Request *QHttpPrivate::httpRequest() const
{
    // While a sequential body is still being read nothing is on the wire.
    if (!m_running || m_readingBody || m_pending.isEmpty() || m_pending.first()->kind != Request::Http)
        return nullptr;
    return m_pending.first();
}

void QHttpPrivate::startNextRequest()
{
    m_startScheduled = false;
    if (!q || m_running || m_pending.isEmpty())
        return;
    Frame frame(this);
    m_running = true;
    Request *r = m_pending.first();
    m_error = QHttp::NoError;
    switch (r->kind) {
    case Request::SetHost:
        m_hostName = r->host;
        m_port = r->port;
        m_mode = r->mode;
        finishRequest(QHttp::NoError);
        break;
    case Request::SetProxy:
        m_proxyHost = r->host;
        m_proxyPort = r->port;
        m_proxyUser = r->user;
        m_proxyPassword = r->password;
        finishRequest(QHttp::NoError);
        break;
    case Request::Http:
        startHttpRequest();
        break;
    }
}

void QHttpPrivate::finishRequest(QHttp::Error error)
{
    Request *r = m_pending.first();
    ++m_generation;
    stopLookup();
    m_stallTimer->stop();
    stopReadingBody();
    m_error = error;
    // The request stays current while its end is reported, so the slot can
    // still ask for currentDestinationDevice().
    m_finishing = true;
    if (q)
        emit q->requestFinished(r->id, error != QHttp::NoError);
    if (!q)
        return;
    m_finishing = false;
    m_pending.removeOne(r);
    delete r;
    m_running = false;
    scheduleNext();
}

void QHttpPrivate::abort()
{
    if (m_aborting)
        return;
    Frame frame(this);
    if (m_finishing) {
        // The current request has already been reported; only the queue
        // and the connection go.
        clearPendingRequests();
        m_aborting = true;
        closeConnection();
        m_aborting = false;
        return;
    }
    if (m_pending.isEmpty())
        return;
    clearPendingRequests();
    m_aborting = true;
    m_running = true;
    const quint64 generation = m_generation;
    closeConnection();
    m_aborting = false;
    if (generation == m_generation)
        finishRequest(QHttp::Aborted);
}

// Closes the connection, if any, reporting Closing and Unconnected.
void QHttpPrivate::closeConnection()
{
    stopLookup();
    m_addresses.clear();
    if (m_socket) {
        dropSocket();
        const quint64 generation = m_generation;
        setState(QHttp::Closing);
        if (generation != m_generation)
            return;
    }
    setState(QHttp::Unconnected);
}

// The socket may be inside one of its own signals: it goes from the event loop.
void QHttpPrivate::dropSocket()
{
    QTcpSocket *s = m_socket;
    m_socket = nullptr;
    m_socketConnected = false;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

void QHttpPrivate::failRequest(QHttp::Error error)
{
    const quint64 generation = m_generation;
    closeConnection();
    if (generation == m_generation)
        finishRequest(error);
}

void QHttpPrivate::startHttpRequest()
{
    // Requests that cannot start leave an idle connection as it is.
    Request *r = m_pending.first();
    m_stallLimit = r->transferTimeout;
    m_sizeLimit = r->maxResponseSize;
    m_interface = r->networkInterface;
    m_servers = r->dnsServers;
    m_lookupTimeout = r->lookupTimeout;
    m_polling = false;
    if (m_stallLimit > 0) {
        m_lastMove.start();
        m_stallTimer->start(m_stallLimit);
    }
    if (m_mode != QHttp::ConnectionModeHttp) { // plain HTTP only
        finishRequest(QHttp::UnknownError);
        return;
    }
    if (m_hostName.isEmpty()) {
        finishRequest(QHttp::HostNotFound);
        return;
    }
    if (!HttpSyntax::isValidHost(m_hostName)) {
        // No such host can exist, and the name would go on the wire as it is.
        finishRequest(QHttp::HostNotFound);
        return;
    }
    if (r->hasData && (!r->data || !r->data->isReadable())) {
        finishRequest(QHttp::UnknownError);
        return;
    }
    if (r->hasTo && (!r->to || !r->to->isWritable())) {
        finishRequest(QHttp::UnknownError);
        return;
    }

    m_bodyBuffered = false;
    m_sendBuffer.clear();
    m_bodyStart = 0;
    m_bodyTotal = 0;
    m_bodyReported = -1;
    m_readReported = -1;
    m_retried = false;
    if (!r->data) {
        startExchange();
    } else if (!r->data->isSequential()) {
        m_bodyStart = r->data->pos();
        m_bodyTotal = qMax<qint64>(0, r->data->size() - m_bodyStart);
        startExchange();
    } else if (qobject_cast<QFileDevice *>(r->data)) {
        // A pipe or FIFO opened as a file: its reads wait for data, and
        // return nothing only at its end.
        m_sendBuffer = r->data->readAll();
        m_bodyBuffered = true;
        m_bodyTotal = m_sendBuffer.size();
        startExchange();
    } else {
        // Has no size to announce and cannot be rewound for a retry: it is
        // read whole first, as its data comes.
        m_bodyBuffered = true;
        m_readingBody = true;
        m_bodyDevice = r->data;
        QIODevice *device = r->data;
        connect(device, &QIODevice::readyRead, this, &QHttpPrivate::bodyDeviceReadyRead);
        connect(device, &QIODevice::readChannelFinished, this, &QHttpPrivate::bodyDeviceReadyRead);
        connect(device, &QIODevice::aboutToClose, this, &QHttpPrivate::bodyDeviceClosing);
        connect(device, &QObject::destroyed, this, &QHttpPrivate::bodyDeviceDestroyed);
        if (QProcess *process = qobject_cast<QProcess *>(device)) {
            connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                &QHttpPrivate::bodyDeviceReadyRead);
            connect(process, &QProcess::errorOccurred, this, &QHttpPrivate::bodyDeviceReadyRead);
        }
        readBodyDevice();
    }
}

void QHttpPrivate::stopReadingBody()
{
    if (m_bodyDevice)
        m_bodyDevice->disconnect(this);
    m_bodyDevice = nullptr;
    m_readingBody = false;
}

void QHttpPrivate::bodyDeviceReadyRead()
{
    if (!m_readingBody)
        return;
    Frame frame(this);
    readBodyDevice();
}

// Closed by its owner, perhaps only once it had ended (a process closed on
// its finished signal before this client saw that).
void QHttpPrivate::bodyDeviceClosing()
{
    if (!m_readingBody)
        return;
    Frame frame(this);
    const quint64 generation = m_generation;
    readBodyDevice();
    if (generation == m_generation && m_readingBody)
        bodyDeviceLost();
}

void QHttpPrivate::bodyDeviceDestroyed()
{
    if (!m_readingBody)
        return;
    Frame frame(this);
    bodyDeviceLost();
}

// What was read so far cannot be told from a whole body.
void QHttpPrivate::bodyDeviceLost()
{
    finishRequest(QHttp::UnknownError);
}

// Bytes are only noted as they move, which costs a clock read; the timer
// is set again for what is left when it finds that they moved meanwhile.
// What the kernel took may take long to leave on a slow link, and it
// reports nothing as it goes: while some of it is unacknowledged the timer
// comes back often enough to see the acknowledgements.
void QHttpPrivate::stallTimerFired()
{
    if (!q || m_finishing || m_aborting || !m_running || m_pending.isEmpty()
        || m_pending.first()->kind != Request::Http)
        return;
    m_polling = false;
    int unacked = 0;
    if (m_socket && m_socketConnected && httpRequest()
        && ::ioctl(int(m_socket->socketDescriptor()), SIOCOUTQ, &unacked) == 0) {
        const qint64 acked = m_outHanded - m_socket->bytesToWrite() - unacked;
        if (acked > m_outAcked) {
            m_outAcked = acked;
            noteMove();
        }
        m_polling = unacked > 0;
    }
    const qint64 idle = m_lastMove.elapsed();
    if (idle < m_stallLimit) {
        const qint64 left = m_stallLimit - idle;
        m_stallTimer->start(int(m_polling ? qMin<qint64>(left, pollInterval()) : left));
        return;
    }
    Frame frame(this);
    if (m_resolver) {
        // The servers had all of the limit to answer (see connectToServer).
        qWarning("[LIBTARNEX] %s not resolved through %s within %d ms (the transfer time limit), request %d "
                 "ended",
            qUtf8Printable(m_connHost), qUtf8Printable(m_servers.join(QLatin1Char(' '))), m_stallLimit,
            m_pending.first()->id);
        failRequest(QHttp::HostNotFound);
        return;
    }
    qWarning() << "[LIBTARNEX] Nothing sent or received for" << m_stallLimit
               << "ms (the transfer time limit), request" << m_pending.first()->id << "ended";
    failRequest(QHttp::Aborted);
}

// Takes what the body device has. It has ended when a read fails, as one
// does past the end of a stream (a process that has exited and been drained,
// a socket the peer closed). A process must also have exited normally with
// status 0: otherwise its output may be cut short.
void QHttpPrivate::readBodyDevice()
{
    QIODevice *device = m_bodyDevice;
    if (!device) {
        bodyDeviceLost();
        return;
    }
    for (;;) {
        const int held = m_sendBuffer.size();
        if (held > std::numeric_limits<int>::max() - BodyDeviceChunk) {
            finishRequest(QHttp::UnknownError);
            return;
        }
        m_sendBuffer.resize(held + BodyDeviceChunk);
        const qint64 n = device->read(m_sendBuffer.data() + held, BodyDeviceChunk);
        m_sendBuffer.resize(held + int(qMax<qint64>(n, 0)));
        if (n < 0)
            break;
        if (n == 0)
            return; // more to come
        noteMove();
    }
    stopReadingBody();
    QProcess *process = qobject_cast<QProcess *>(device);
    if (process
        && (process->error() == QProcess::FailedToStart || process->exitStatus() != QProcess::NormalExit
            || process->exitCode() != 0)) {
        finishRequest(QHttp::UnknownError);
        return;
    }
    m_bodyTotal = m_sendBuffer.size();
    startExchange();
}

// The body is known: the head is made and the request goes to the server,
// over the idle connection when it leads there.
void QHttpPrivate::startExchange()
{
    Request *r = m_pending.first();
    HttpRequestWriter::Route route;
    route.host = m_hostName;
    route.port = m_port;
    route.proxyHost = m_proxyHost;
    route.proxyUser = m_proxyUser;
    route.proxyPassword = m_proxyPassword;
    if (!HttpRequestWriter::head(r->header, route, r->hasData, m_bodyTotal, &m_head)) {
        finishRequest(QHttp::UnknownError);
        return;
    }

    const bool viaProxy = !m_proxyHost.isEmpty();
    const QString connHost = viaProxy ? m_proxyHost : m_hostName;
    const quint16 connPort = viaProxy ? m_proxyPort : m_port;
    // A connection made through another interface, or to an address other
    // servers gave, may lead somewhere this request must not go.
    if (m_socket && m_socketConnected && m_state == QHttp::Connected && m_connHost == connHost
        && m_connPort == connPort && m_connServer == m_hostName && m_connServerPort == m_port
        && m_connInterface == m_interface && m_connServers == m_servers
        && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_connReused = true;
        sendRequest();
        return;
    }
    if (m_socket) {
        const quint64 generation = m_generation;
        closeConnection();
        if (generation != m_generation)
            return;
    }
    m_connHost = connHost;
    m_connPort = connPort;
    m_connServer = m_hostName;
    m_connServerPort = m_port;
    m_connInterface = m_interface;
    m_connServers = m_servers;
    connectToServer();
}

void QHttpPrivate::connectToServer()
{
    m_connReused = false;
    const quint64 generation = m_generation;
    setState(QHttp::HostLookup);
    if (generation != m_generation)
        return;
    QHostAddress literal;
    if (literal.setAddress(m_connHost)) {
        // An address needs no lookup; asking anyway would send a reverse
        // query to a name server that may not even be reachable.
        m_addresses = { literal };
        tryNextAddress();
        return;
    }
    if (m_servers.isEmpty()) {
        m_lookupId = QHostInfo::lookupHost(m_connHost, this, SLOT(hostLookedUp(QHostInfo)));
        return;
    }
    // Only these servers, over the interface; never the system resolver. The
    // look-up gets what is left of the transfer time limit, when that is
    // shorter than its own bound, so every server is asked within it.
    int timeout = m_lookupTimeout > 0 ? m_lookupTimeout : int(DnsResolver::DefaultTimeout);
    if (m_stallLimit > 0)
        timeout = int(qBound<qint64>(1, m_stallLimit - m_lastMove.elapsed(), qint64(timeout)));
    m_resolver = new DnsResolver(this);
    m_resolver->setServers(m_servers);
    m_resolver->setInterfaceName(m_interface);
    m_resolver->setTimeout(timeout);
    connect(m_resolver, &DnsResolver::finished, this, &QHttpPrivate::dnsLookedUp);
    m_resolver->lookup(m_connHost);
}

void QHttpPrivate::dnsLookedUp(DnsResolver::Error error, const QList<QHostAddress> &addresses)
{
    if (!m_resolver || sender() != m_resolver || !httpRequest())
        return;
    Frame frame(this);
    const QString problem = m_resolver->errorString();
    stopLookup();
    if (error != DnsResolver::NoError || addresses.isEmpty()) {
        qWarning("[LIBTARNEX] %s not resolved through %s (%s), request %d ended", qUtf8Printable(m_connHost),
            qUtf8Printable(m_servers.join(QLatin1Char(' '))), qUtf8Printable(problem), m_pending.first()->id);
        failRequest(QHttp::HostNotFound);
        return;
    }
    m_addresses = addresses;
    tryNextAddress();
}

void QHttpPrivate::stopLookup()
{
    stopHostLookup(m_lookupId, m_resolver, this);
}

// A socket of its own, bound to the interface before it connects.
bool QHttpPrivate::bindToInterface(QTcpSocket *socket, const QHostAddress &address, QString *problem) const
{
    const QHostAddress any(
        address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4);
    if (!socket->bind(any, 0, QAbstractSocket::DontShareAddress)) {
        *problem = socket->errorString();
        return false;
    }
    return bindSocketToInterface(int(socket->socketDescriptor()), m_interface, problem);
}

void QHttpPrivate::hostLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId || !httpRequest())
        return;
    Frame frame(this);
    m_lookupId = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failRequest(QHttp::HostNotFound);
        return;
    }
    m_addresses = info.addresses();
    tryNextAddress();
}

void QHttpPrivate::tryNextAddress()
{
    if (m_addresses.isEmpty()) {
        failRequest(QHttp::ConnectionRefused);
        return;
    }
    const QHostAddress address = m_addresses.takeFirst();
    const quint64 generation = m_generation;
    setState(QHttp::Connecting);
    if (generation != m_generation)
        return;
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy); // proxies are this class's business
    QString problem;
    // Bound before any signal is connected: a failed bind reports itself.
    if (!m_interface.isEmpty() && !bindToInterface(socket, address, &problem)) {
        delete socket;
        qWarning("[LIBTARNEX] Cannot bind a socket to %s (%s), request %d ended", qUtf8Printable(m_interface),
            qUtf8Printable(problem), m_pending.first()->id);
        failRequest(QHttp::ConnectionRefused);
        return;
    }
    m_socket = socket;
    m_socketConnected = false;
    connect(m_socket, &QTcpSocket::connected, this, &QHttpPrivate::socketConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &QHttpPrivate::socketReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &QHttpPrivate::socketBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &QHttpPrivate::socketDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QHttpPrivate::socketError);
    m_socket->connectToHost(address, m_connPort, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void QHttpPrivate::socketConnected()
{
    if (!m_socket || !httpRequest())
        return;
    Frame frame(this);
    m_socketConnected = true;
    // Small requests must not wait for the acknowledgement of the last one.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    sendRequest();
}

void QHttpPrivate::sendRequest()
{
    Request *r = m_pending.first();
    const quint64 generation = m_generation;
    setState(QHttp::Sending);
    if (generation != m_generation)
        return;
    m_parser.reset(r->header.method().compare(QLatin1String("HEAD"), Qt::CaseInsensitive) != 0);
    m_lastResponse = QHttpResponseHeader();
    m_requestSent = false;
    m_writeFailed = false;
    m_extraBytes = false;
    m_tooLarge = false;
    m_bodyQueued = 0;
    m_outHanded = 0;
    m_outMoved = 0;
    m_outAcked = 0;
    if (!m_bodyBuffered && m_bodyTotal > 0 && (!r->data || !r->data->seek(m_bodyStart))) {
        failRequest(QHttp::UnknownError);
        return;
    }

    // The head and the first piece of the body go out in one write.
    QByteArray out = m_head;
    const qint64 first = qMin<qint64>(WriteChunk, m_bodyTotal);
    if (first > 0) {
        const int headSize = out.size();
        out.resize(headSize + int(first));
        qint64 got;
        if (m_bodyBuffered) {
            memcpy(out.data() + headSize, m_sendBuffer.constData(), size_t(first));
            got = first;
        } else {
            got = r->data->read(out.data() + headSize, first);
        }
        if (got <= 0) {
            failRequest(QHttp::UnknownError);
            return;
        }
        out.resize(headSize + int(got));
        m_bodyQueued = got;
    }
    if (m_socket->write(out) < 0) {
        writeFailed();
        return;
    }
    m_outHanded = out.size();
    noteSent();
    fillSocket();
}

void QHttpPrivate::fillSocket()
{
    Request *r = httpRequest();
    if (m_filling || !r || !m_socket || m_writeFailed)
        return;
    QScopedValueRollback<bool> filling(m_filling, true);
    const quint64 generation = m_generation;
    // Write while the kernel takes everything; what it leaves over stays in
    // the socket until it reports it written and we come back here.
    while (m_bodyQueued < m_bodyTotal && m_socket->bytesToWrite() == 0) {
        const qint64 n = qMin<qint64>(WriteChunk, m_bodyTotal - m_bodyQueued);
        const char *piece = m_sendBuffer.constData() + m_bodyQueued;
        qint64 got = n;
        if (!m_bodyBuffered) {
            m_chunk.resize(int(n));
            got = r->data ? r->data->read(m_chunk.data(), n) : -1;
            piece = m_chunk.constData();
        }
        if (got <= 0) {
            // The device ended before the length that went out in the head.
            failRequest(QHttp::UnknownError);
            return;
        }
        if (m_socket->write(piece, got) < 0) {
            writeFailed();
            return;
        }
        m_bodyQueued += got;
        m_outHanded += got;
        noteSent();
        reportSendProgress();
        if (generation != m_generation || !m_socket)
            return;
    }
    reportSendProgress();
}

void QHttpPrivate::reportSendProgress()
{
    if (!m_socket || !httpRequest())
        return;
    const qint64 unsent = m_socket->bytesToWrite();
    const qint64 done = m_bodyQueued - qMin(m_bodyQueued, unsent);
    if (m_bodyTotal > 0 && done > m_bodyReported) {
        m_bodyReported = done;
        const quint64 generation = m_generation;
        if (q)
            emit q->dataSendProgress(clampInt(done), clampInt(m_bodyTotal));
        if (generation != m_generation)
            return;
    }
    if (!m_requestSent && m_bodyQueued == m_bodyTotal && unsent == 0) {
        m_requestSent = true;
        if (m_state == QHttp::Sending)
            setState(QHttp::Reading);
    }
}

// Counts what the kernel has taken: bytes left in the socket's own buffer
// have not moved.
void QHttpPrivate::noteSent()
{
    const qint64 moved = m_outHanded - m_socket->bytesToWrite();
    if (moved > m_outMoved) {
        m_outMoved = moved;
        noteMove();
        if (m_stallLimit > 0 && !m_polling) {
            m_polling = true;
            m_stallTimer->start(pollInterval());
        }
    }
}

void QHttpPrivate::socketBytesWritten()
{
    if (m_socket && httpRequest())
        noteSent();
    if (m_filling)
        return;
    Frame frame(this);
    if (m_bodyQueued < m_bodyTotal)
        fillSocket();
    else
        reportSendProgress();
}

void QHttpPrivate::reportReadProgress()
{
    const qint64 done = m_parser.bodyBytes();
    if (done == m_readReported || done == 0)
        return;
    m_readReported = done;
    const qint64 total = m_parser.contentLength();
    if (q)
        emit q->dataReadProgress(clampInt(done), total > 0 ? clampInt(total) : 0);
}

bool QHttpPrivate::headerReceived(const QHttpResponseHeader &header)
{
    m_lastResponse = header;
    if (m_sizeLimit > 0 && m_parser.bodyKind() == HttpResponseParser::LengthBody
        && m_parser.contentLength() > m_sizeLimit) {
        qWarning() << "[LIBTARNEX] Answer of" << m_parser.contentLength()
                   << "bytes is larger than the limit of" << m_sizeLimit << "bytes, request"
                   << m_pending.first()->id << "ended";
        m_tooLarge = true;
        return false;
    }
    return true;
}

bool QHttpPrivate::bodyReceived(const char *data, qint64 size)
{
    Request *r = m_pending.first();
    const qint64 past = m_sizeLimit > 0 ? m_parser.bodyBytes() - m_sizeLimit : 0;
    if (past > 0) {
        qWarning() << "[LIBTARNEX] Answer without a length passed the limit of" << m_sizeLimit
                   << "bytes, request" << r->id << "ended";
        m_tooLarge = true;
        size -= past; // what still fits goes in, like the rest of a failed answer
    }
    if (r->hasTo && size > 0 && (!r->to || r->to->write(data, size) != size))
        m_writeFailed = true;
    return !m_writeFailed && !m_tooLarge;
}

void QHttpPrivate::socketReadyRead()
{
    if (!m_socket)
        return;
    Frame frame(this);
    if (!httpRequest() || !m_socketConnected) {
        // Bytes (or the close) on an idle connection answer nothing we
        // asked: the connection cannot be used for another request.
        closeConnection();
        return;
    }
    const quint64 generation = m_generation;
    if (readResponse() && generation == m_generation && m_socket)
        connectionLost();
}

// Reads what the kernel has and feeds it to the parser. Returns true when the
// peer closed the connection (or it broke) with the response unfinished.
bool QHttpPrivate::readResponse()
{
    const quint64 generation = m_generation;
    if (m_readBuffer.size() != ReadChunk)
        m_readBuffer.resize(ReadChunk);
    for (;;) {
        const qint64 n = m_socket->read(m_readBuffer.data(), ReadChunk);
        if (n < 0)
            return true;
        if (n == 0)
            break;
        noteMove();
        if (m_state == QHttp::Sending) {
            setState(QHttp::Reading);
            if (generation != m_generation)
                return false;
        }
        const qint64 used = m_parser.feed(m_readBuffer.constData(), n);
        if (generation != m_generation || !m_socket)
            return false;
        if (m_writeFailed) {
            failRequest(QHttp::UnknownError);
            return false;
        }
        if (m_tooLarge) {
            failRequest(QHttp::WrongContentLength);
            return false;
        }
        if (m_parser.hasError()) {
            failRequest(QHttp::InvalidResponseHeader);
            return false;
        }
        if (m_parser.isComplete()) {
            // Anything after the response answers nothing we asked.
            m_extraBytes = used < n || m_socket->bytesAvailable() > 0;
            responseComplete();
            return false;
        }
        reportReadProgress();
        if (generation != m_generation || !m_socket)
            return false;
    }
    return false;
}

void QHttpPrivate::responseComplete()
{
    Request *r = m_pending.first();
    const quint64 generation = m_generation;
    if (QFileDevice *file = qobject_cast<QFileDevice *>(r->to.data())) {
        // A file keeps a write buffer; data that never reaches the disk was not delivered.
        if (!file->flush()) {
            failRequest(QHttp::UnknownError);
            return;
        }
    }
    reportReadProgress();
    if (generation != m_generation)
        return;
    const bool reusable = m_parser.keepAlive() && !m_extraBytes && m_requestSent && m_socket
        && m_socket->state() == QAbstractSocket::ConnectedState
        && r->header.value(QStringLiteral("connection")).compare(QLatin1String("close"), Qt::CaseInsensitive)
            != 0;
    if (reusable)
        setState(QHttp::Connected);
    else
        closeConnection();
    if (generation != m_generation)
        return;
    const int code = m_lastResponse.statusCode();
    if (code == 401)
        finishRequest(QHttp::AuthenticationRequiredError);
    else if (code == 407)
        finishRequest(QHttp::ProxyAuthenticationRequiredError);
    else
        finishRequest(QHttp::NoError);
}

void QHttpPrivate::socketDisconnected()
{
    Frame frame(this);
    connectionLost();
}

void QHttpPrivate::socketError()
{
    if (!m_socket || sender() != m_socket)
        return;
    Frame frame(this);
    if (!m_socketConnected) {
        if (!httpRequest())
            return;
        m_socket->disconnect(this);
        m_socket->deleteLater();
        m_socket = nullptr;
        tryNextAddress();
        return;
    }
    connectionLost();
}

// A server may answer and close before it has read the whole request; its
// answer then still waits to be read.
void QHttpPrivate::writeFailed()
{
    const quint64 generation = m_generation;
    readResponse();
    if (generation == m_generation)
        connectionLost();
}

// The server closed the connection or it broke.
void QHttpPrivate::connectionLost()
{
    if (!m_socket)
        return;
    if (!httpRequest() || !m_socketConnected) {
        closeConnection();
        return;
    }
    const quint64 generation = m_generation;
    if (m_parser.bytesReceived() == 0 && m_connReused && !m_retried) {
        // The server dropped the idle connection as the request went out:
        // nothing of it was answered, so it is safe to send it once more.
        m_retried = true;
        closeConnection();
        if (generation != m_generation)
            return;
        connectToServer();
        return;
    }
    m_parser.finish();
    if (m_parser.isComplete()) {
        responseComplete();
        return;
    }
    switch (m_parser.error()) {
    case HttpResponseParser::UnexpectedClose:
        failRequest(QHttp::UnexpectedClose);
        break;
    case HttpResponseParser::WrongContentLength:
        failRequest(QHttp::WrongContentLength);
        break;
    default:
        failRequest(QHttp::InvalidResponseHeader);
        break;
    }
}
