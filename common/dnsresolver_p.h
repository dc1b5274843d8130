#ifndef DNSRESOLVER_P_H
#define DNSRESOLVER_P_H

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSocketNotifier;
class DnsQuery;

// Resolves host names through a given list of DNS servers only, optionally
// with every socket bound to one network interface (the MMS bearer's), on
// c-ares. Never falls back to the system resolver or /etc/hosts.
//
// lookup() runs on the caller's event loop (socket notifiers and timers, no
// thread) and ends with exactly one finished(), never from inside lookup()
// itself; abort() ends it at once with Aborted; destroying the resolver drops
// it without a signal. lookupBlocking() is the same look-up for callers that
// may block for a bounded time.
//
// Addresses come IPv4 first: MMS bearers are mostly IPv4-only, so an IPv6
// address first would cost a failed connect. A literal address is returned
// as it is without a query.
class DnsResolver : public QObject
{
    Q_OBJECT
public:
    enum Error { NoError, HostNotFound, Aborted };
    Q_ENUM(Error)

    // The whole look-up, all servers and tries included, ends within this.
    static constexpr int DefaultTimeout = 12000;
    // A hostile answer may carry hundreds of records; each address may cost
    // the caller a connect attempt or a route command.
    static constexpr int MaxAddresses = 8;

    explicit DnsResolver(QObject *parent = nullptr);
    ~DnsResolver() override;

    // IPv4 or IPv6 literals, each with an optional port: "10.0.0.1",
    // "10.0.0.1:5353", "fd00::1", "[fd00::1]:5353". Asked in this order;
    // empty and unusable entries are dropped with a log line. Applies from
    // the next look-up.
    void setServers(const QStringList &servers);
    // The servers that will be asked, in a normalised form.
    QStringList servers() const;

    // Empty: sockets unbound. Otherwise a socket that cannot be bound to this
    // interface is not used, so a query never leaves through another one.
    void setInterfaceName(const QString &name);
    QString interfaceName() const { return m_interface; }

    void setTimeout(int msecs);
    int timeout() const { return m_timeout; }

    // A look-up already running is aborted first (its finished() comes
    // before this returns).
    void lookup(const QString &hostName);
    void abort();
    bool isRunning() const { return m_running; }

    // Blocks for at most timeout(); runs no event loop. On failure returns
    // an empty list and sets *error (HostNotFound) when given.
    QList<QHostAddress> lookupBlocking(const QString &hostName, Error *error = nullptr);

    // Why the last look-up failed, for log lines.
    QString errorString() const { return m_errorString; }

Q_SIGNALS:
    void finished(DnsResolver::Error error, const QList<QHostAddress> &addresses);

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    bool prepare(const QString &hostName, QByteArray *aceName, QList<QHostAddress> *literal);
    std::unique_ptr<DnsQuery> newQuery(bool watched);
    void watchSocket(int fd, bool readable, bool writable);
    void process(int readFd, int writeFd);
    void afterProcessing();
    void finishLater(Error error, const QList<QHostAddress> &addresses);
    void finish(Error error, const QList<QHostAddress> &addresses);
    void stopQuery();

    struct Server
    {
        QHostAddress address;
        quint16 port;
    };
    QList<Server> m_servers;
    QString m_interface;
    int m_timeout = DefaultTimeout;

    std::unique_ptr<DnsQuery> m_query;
    QHash<int, Watch> m_watches;
    QTimer m_aresTimer; // c-ares's own per-try timeouts
    QTimer m_deadline; // the whole look-up
    QTimer m_grace; // for the AAAA answer once the A answer is in
    QString m_hostName;
    QString m_errorString;
    quint64 m_generation = 0;
    bool m_running = false;

    friend class DnsQuery;
};

Q_DECLARE_METATYPE(QList<QHostAddress>)

// Ends whichever look-up runs for a connection: the system resolver's
// (lookupId, from QHostInfo::lookupHost) or *resolver's, which may be inside
// its own finished(): it goes from the event loop, and its end reaches
// nobody. Both are reset.
void stopHostLookup(int &lookupId, DnsResolver *&resolver, QObject *receiver);

// SO_BINDTODEVICE on a socket before it connects. The kernel cuts a long
// name to what fits, which may name another interface: what took is read
// back. On failure *problem says why.
bool bindSocketToInterface(int fd, const QString &interfaceName, QString *problem);

#endif // DNSRESOLVER_P_H
