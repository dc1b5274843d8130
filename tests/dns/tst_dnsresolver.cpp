// DnsResolver against real dnsmasq servers and a scripted hostile one, all
// inside the private namespaces of in-netns: loopback servers for order,
// fallback and failures; a peer namespace behind wlan0 (10.77.0.0/24) and
// gprs0 (10.88.0.0/24) for interface binding.
#include <QPointer>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "bearernet.h"
#include "dnsmasqprocess.h"
#include "dnsresolver_p.h"

namespace {

// Short, so the failing rows stay quick; the bound checks add a margin.
const int Timeout = 1200;
const int Margin = 1500;

const QString ServerA = QStringLiteral("127.0.0.11");
const QString ServerB = QStringLiteral("127.0.0.12");
const QString Silent = QStringLiteral("127.0.0.14");
const QString Silent2 = QStringLiteral("127.0.0.15");
const QString Scripted = QStringLiteral("127.0.0.20");
const QString OperatorDns = QStringLiteral("10.88.0.1");

QStringList texts(const QList<QHostAddress> &addresses)
{
    QStringList out;
    for (const QHostAddress &a : addresses)
        out << a.toString();
    return out;
}

// Looks `name` up: it ends once, never from inside lookup(), with `expected`
// (none: not found) within `bound`.
void lookUp(DnsResolver &resolver, const QString &name, bool blocking, const QStringList &expected,
    qint64 bound = Timeout + Margin)
{
    QElapsedTimer clock;
    clock.start();
    DnsResolver::Error error = DnsResolver::Aborted;
    QStringList addresses;
    if (blocking) {
        addresses = texts(resolver.lookupBlocking(name, &error));
    } else {
        QSignalSpy spy(&resolver, &DnsResolver::finished);
        resolver.lookup(name);
        QCOMPARE(spy.count(), 0);
        QVERIFY(spy.wait(Timeout + 10000));
        QCoreApplication::processEvents(); // a second signal, if one were queued
        QCOMPARE(spy.count(), 1);
        error = spy.at(0).at(0).value<DnsResolver::Error>();
        addresses = texts(spy.at(0).at(1).value<QList<QHostAddress>>());
    }
    for (QString &a : addresses) { // dnsmasq rotates its records: any of them
        if (a.startsWith(QLatin1String("10.7.0.")))
            a = QStringLiteral("10.7.0.*");
    }
    QVERIFY2(clock.elapsed() < bound, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(addresses, expected);
    QCOMPARE(error, expected.isEmpty() ? DnsResolver::HostNotFound : DnsResolver::NoError);
}

QByteArray u16(int v)
{
    return QByteArray(1, char(v >> 8)) + char(v);
}

// c-ares sends one question and nothing after it: the answer repeats the query.
QByteArray answer(const QByteArray &query, int count, const QByteArray &records = QByteArray())
{
    return query.left(2) + u16(0x8180) + u16(1) + u16(count) + u16(0) + u16(0) + query.mid(12) + records;
}

// An A record for 10.6.0.`last`, owned by the question's name unless given.
QByteArray aRecord(int last, const QByteArray &owner = QByteArray("\xc0\x0c", 2))
{
    return owner + u16(1) + u16(1) + u16(0) + u16(60) + u16(4) + QByteArray("\x0a\x06\x00", 3) + char(last);
}

// Answers by the first label of the question's name, for the shapes no real
// server sends; any other name is answered 100 ms late.
QByteArray scripted(const QByteArray &q)
{
    const QByteArray mode = q.mid(13, quint8(q.at(12)));
    const bool typeA = q.at(q.size() - 3) == 1;
    if (mode == "another") // records for another name
        return answer(q, 1, aRecord(1, QByteArray("\4evil\4test", 11)));
    if (mode == "garbage") // three records' worth of it
        return answer(q, 3, QByteArray("\x3f\xc0\x10\x00\xff\x07\x81", 7).repeated(9));
    if (mode == "loop") // the record's name points at itself
        return answer(q, 1, aRecord(1, u16(0xc000 | q.size())));
    if (mode == "aonly")
        return typeA ? answer(q, 1, aRecord(1)) : QByteArray();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return typeA ? answer(q, 1, aRecord(9)) : answer(q, 0);
}

// A DNS server on port 53 for the answers no real server sends: `script`
// gives the reply to a query (empty: none). It serves on a thread of its
// own, as lookupBlocking() blocks the test's.
class ScriptedServer
{
public:
    ~ScriptedServer() { stop(); }

    bool start(const QString &address, QByteArray (*script)(const QByteArray &query))
    {
        stop();
        sockaddr_in at {};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        at.sin_addr.s_addr = htonl(QHostAddress(address).toIPv4Address());
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
            return false;
        m_stopping = false;
        m_thread = std::thread([this, script] {
            pollfd p = { m_fd, POLLIN, 0 };
            while ((::poll(&p, 1, -1) >= 0 || errno == EINTR) && !m_stopping) {
                char query[512];
                sockaddr_in from {};
                socklen_t length = sizeof from;
                const ssize_t n
                    = ::recvfrom(m_fd, query, sizeof query, 0, reinterpret_cast<sockaddr *>(&from), &length);
                const QByteArray answer = n > 12 ? script(QByteArray(query, int(n))) : QByteArray();
                if (!answer.isEmpty())
                    ::sendto(m_fd, answer.constData(), size_t(answer.size()), 0,
                        reinterpret_cast<sockaddr *>(&from), length);
            }
        });
        return true;
    }

    void stop()
    {
        m_stopping = true;
        ::shutdown(m_fd, SHUT_RDWR); // wakes the thread's poll()
        if (m_thread.joinable())
            m_thread.join();
        ::close(std::exchange(m_fd, -1));
    }

private:
    int m_fd = -1;
    std::atomic<bool> m_stopping { false };
    std::thread m_thread;
};

} // namespace

class TestDnsResolver : public QObject
{
    Q_OBJECT

private:
    DnsmasqProcess m_serverA;
    DnsmasqProcess m_serverB;
    DnsmasqProcess m_serverV6;
    DnsmasqProcess m_operator;
    ScriptedServer m_scripted;
    // Never answer; what they were sent waits in their queues.
    QUdpSocket m_silent;
    QUdpSocket m_silent2;

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        qint64 peer = 0;
        QVERIFY2(setUpHandset(&peer, &why), qPrintable(why));

        const QString local = QStringLiteral("--local=/test/");
        // 40 addresses for big.test: more than 512 bytes, so over TCP.
        QStringList rules = { "--address=/name.test/10.1.0.1", "--address=/dual.test/10.3.0.1",
            "--address=/dual.test/fd00::3", "--address=/v6only.test/fd00::4", local };
        for (int i = 0; i < 40; ++i)
            rules << QStringLiteral("--host-record=big.test,10.7.0.%1").arg(i);
        QVERIFY(m_serverA.start(ServerA, 53, rules));
        QVERIFY(m_serverB.start(ServerB, 53, { "--address=/name.test/10.2.0.1", local }));
        QVERIFY(m_serverV6.start(QStringLiteral("::1"), 5353, { "--address=/name.test/10.1.0.6", local }));
        QVERIFY(m_operator.start(OperatorDns, 53, { "--address=/operator.test/10.88.0.80", local }, peer));
    }

    // Fresh servers: nothing an earlier row sent can count for this one.
    void init()
    {
        QVERIFY(m_scripted.start(Scripted, scripted));
        m_silent.close();
        m_silent2.close();
        QVERIFY(m_silent.bind(QHostAddress(Silent), 53) && m_silent2.bind(QHostAddress(Silent2), 53));
    }

    // Entries as a context reports them: the usable ones in their order.
    void servers()
    {
        DnsResolver resolver;
        resolver.setServers({ " 10.0.0.1:5353 ", "FD00::1", "[fd00::2]:5353", "[fd00::3]", "", "0.0.0.0",
            "::", "dns.example", "300.1.1.1", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:x",
            "10.0.0.1:", "[10.0.0.1]:53", "[fd00::1", "[fd00::1]x", "fe80::1%lo", "10.0.0.4" });
        QCOMPARE(resolver.servers(),
            QStringList({ "10.0.0.1:5353", "fd00::1", "[fd00::2]:5353", "fd00::3", "10.0.0.4" }));
    }

    void resolves_data()
    {
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("silentAsked"); // how many silent servers got a query; -1: any
        QTest::addColumn<bool>("blocking");
        const QStringList name = { "10.1.0.1" };
        const QStringList none;
        const auto row = [](const QString &tag, const QStringList &servers, const QString &host,
                             const QStringList &expected, int silentAsked = -1) {
            // lookupBlocking() waits in a loop of its own, on the same messages.
            for (const bool blocking : { false, true })
                QTest::addRow("%s (%s)", qPrintable(tag), blocking ? "blocking" : "async")
                    << servers << host << expected << silentAsked << blocking;
        };
        row("first server answers", { ServerA, ServerB }, "name.test", name);
        row("the caller's order", { ServerB, ServerA }, "name.test", { "10.2.0.1" });
        row("silent: next server", { Silent, ServerB }, "name.test", { "10.2.0.1" }, 1);
        row("IPv6 server with port", { "[::1]:5353" }, "name.test", { "10.1.0.6" });
        row("IPv4 first", { ServerA }, "dual.test", { "10.3.0.1", "fd00::3" });
        row("IPv6 only", { ServerA }, "v6only.test", { "fd00::4" });
        row("trailing dot", { ServerA }, "name.test.", name);
        row("unknown name", { ServerA, ServerB }, "unknown.test", none);
        row("silent everywhere: all asked", { Silent, Silent2 }, "name.test", none, 2);
        QStringList manySilent;
        for (int i = 0; i < 10; ++i)
            manySilent << Silent << Silent2;
        row("more silent servers than the bound has time for", manySilent, "name.test", none);
        row("no usable server", { "", "dns.example" }, "name.test", none);
        row("IPv4 literal, no query", { Silent }, "10.9.9.9", { "10.9.9.9" }, 0);
        row("IPv6 literal, no query", { Silent }, "[fd00::9]", { "fd00::9" }, 0);
        row("name with a blank", { Silent }, "bad name.test", none, 0);
        row("label of 64", { Silent }, QString(64, 'a') + ".test", none, 0);
        // in-netns puts the files beside this test over /etc/hosts and /etc/resolv.conf.
        row("not the system's hosts file", { ServerA }, "hosted.test", none);
        row("not the system's servers", { Silent }, "name.test", none);
        row("not the system's search domain", { ServerA }, "name", none);
        // Answers no real server sends end in "not found" or their sound part.
        row("records for another name", { Scripted }, "another.test", none);
        row("garbage", { Scripted }, "garbage.test", none);
        row("compression loop", { Scripted }, "loop.test", none);
        QStringList first;
        for (int i = 0; i < DnsResolver::MaxAddresses; ++i)
            first << QStringLiteral("10.7.0.*");
        row("40 addresses, over TCP as they fill more than 512 bytes", { ServerA }, "big.test", first);
        row("A only, AAAA never", { Scripted }, "aonly.test", { "10.6.0.1" });
    }

    void resolves()
    {
        QFETCH(QStringList, servers);
        QFETCH(QString, name);
        QFETCH(QStringList, expected);
        QFETCH(int, silentAsked);
        QFETCH(bool, blocking);
        DnsResolver resolver;
        resolver.setServers(servers);
        resolver.setTimeout(Timeout);
        // An IPv4 answer is not held back for a silent AAAA.
        lookUp(resolver, name, blocking, expected, name.startsWith("aonly") ? Timeout / 2 : Timeout + Margin);
        if (silentAsked >= 0)
            QTRY_COMPARE(
                int(m_silent.hasPendingDatagrams()) + int(m_silent2.hasPendingDatagrams()), silentAsked);
    }

    // The operator's server, behind gprs0 while the default route leads
    // through wlan0, sees a bound query come from gprs0's address; a binding
    // that cannot be made sends nothing.
    void interfaceBinding_data()
    {
        QTest::addColumn<QString>("interfaceName");
        QTest::newRow("gprs0") << "gprs0";
        QTest::newRow("missing") << "nosuch0";
    }

    void interfaceBinding()
    {
        QFETCH(QString, interfaceName);
        DnsResolver resolver;
        resolver.setServers({ OperatorDns });
        resolver.setInterfaceName(interfaceName);
        resolver.setTimeout(Timeout);
        const QString name = QStringLiteral("mms.operator.test");
        const bool bound = interfaceName == "gprs0";
        lookUp(resolver, name, false, bound ? QStringList { "10.88.0.80" } : QStringList());
        if (bound)
            QTRY_VERIFY(m_operator.queries().contains("query[A] " + name + " from 10.88.0.2"));
    }

    // finished() comes once for a look-up, never later for one that was
    // aborted or whose resolver was deleted, whatever its stage; its receiver
    // may delete the resolver or start the next look-up, however it ended.
    void endings_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("seen"); // what each finished() gave
        const QStringList next = { "10.6.0.9" };
        QTest::newRow("abort, waiting")
            << "name.test" << Scripted << "abort" << QStringList { "aborted", "10.6.0.9" };
        QTest::newRow("abort, literal not yet delivered")
            << "10.0.0.1" << Scripted << "abort" << QStringList { "aborted", "10.6.0.9" };
        QTest::newRow("delete, waiting") << "name.test" << Scripted << "delete" << next;
        QTest::newRow("delete, literal not yet delivered") << "10.0.0.1" << Scripted << "delete" << next;
        for (const char *action : { "delete inside", "lookup inside" }) {
            const QStringList then
                = QString(action).startsWith("lookup") ? QStringList { "10.0.0.2" } : QStringList();
            QTest::addRow("%s, answer", action)
                << "name.test" << ServerA << action << QStringList { "10.1.0.1" } + then;
            QTest::addRow("%s, deadline", action)
                << "name.test" << Silent << action << QStringList { "" } + then;
            QTest::addRow("%s, literal", action)
                << "10.0.0.1" << ServerA << action << QStringList { "10.0.0.1" } + then;
        }
    }

    void endings()
    {
        QFETCH(QString, name);
        QFETCH(QString, server);
        QFETCH(QString, action);
        QFETCH(QStringList, seen);
        // Scripted answers 100 ms late: an ended look-up's answer arrives while the next one waits.
        QPointer<DnsResolver> resolver = new DnsResolver;
        DnsResolver other;
        QStringList got;
        for (DnsResolver *r : { resolver.data(), &other }) {
            r->setServers({ server });
            r->setTimeout(Timeout);
            connect(r, &DnsResolver::finished, this, [&](DnsResolver::Error e, const QList<QHostAddress> &a) {
                got << (e == DnsResolver::Aborted ? "aborted" : texts(a).join(','));
                if (got.size() == 1 && action == "delete inside")
                    delete resolver;
                else if (got.size() == 1 && action == "lookup inside")
                    resolver->lookup(QStringLiteral("10.0.0.2"));
            });
        }
        resolver->lookup(name);
        if (action == "abort" || action == "delete") {
            if (action == "abort")
                resolver->abort();
            else
                delete resolver;
            QCOMPARE(got.size(), action == "abort" ? 1 : 0); // at once
            // On the same resolver unless it is gone.
            (resolver ? resolver.data() : &other)->lookup(QStringLiteral("next.test"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(got, seen, Timeout + 10000);
        QCoreApplication::processEvents();
        QCOMPARE(got, seen);
        QCOMPARE(resolver.isNull(), action.startsWith("delete"));
        delete resolver;
    }
};

QTEST_GUILESS_MAIN(TestDnsResolver)
#include "tst_dnsresolver.moc"
