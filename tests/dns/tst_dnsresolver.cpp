// DnsResolver against real dnsmasq servers and a scripted hostile one, all
// inside the private namespaces of in-netns: loopback servers for order,
// fallback and failures; a peer namespace behind wlan0 (10.77.0.0/24) and
// gprs0 (10.88.0.0/24) for interface binding.
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <thread>

#include "bearernet.h"
#include "dnsmasqprocess.h"
#include "dnsresolver_p.h"
#include "scripteddnsserver.h"

namespace {

// Short, so the failing rows stay quick; the bound checks add a margin.
const int Timeout = 1200;
const int Margin = 1500;

const QString ServerA = QStringLiteral("127.0.0.11");
const QString ServerB = QStringLiteral("127.0.0.12");
const QString Refusing = QStringLiteral("127.0.0.13");
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

struct Outcome
{
    DnsResolver::Error error = DnsResolver::Aborted;
    QStringList addresses;
    qint64 elapsed = 0;
    int signalsInsideLookup = 0;
    int signalCount = 1;
};

Outcome resolve(DnsResolver &resolver, const QString &name, bool blocking)
{
    Outcome out;
    QElapsedTimer clock;
    clock.start();
    if (blocking) {
        out.addresses = texts(resolver.lookupBlocking(name, &out.error));
        out.elapsed = clock.elapsed();
        return out;
    }
    QSignalSpy spy(&resolver, &DnsResolver::finished);
    resolver.lookup(name);
    out.signalsInsideLookup = spy.count();
    if (spy.isEmpty())
        spy.wait(Timeout + 10000);
    out.elapsed = clock.elapsed();
    QCoreApplication::processEvents(); // a second signal, if one were queued
    out.signalCount = spy.count();
    if (!spy.isEmpty()) {
        out.error = spy.at(0).at(0).value<DnsResolver::Error>();
        out.addresses = texts(spy.at(0).at(1).value<QList<QHostAddress>>());
    }
    return out;
}

// --- DNS messages for the scripted server ---------------------------------

QByteArray u16(int v)
{
    return QByteArray(1, char((v >> 8) & 0xff)) + char(v & 0xff);
}

QByteArray wireName(const QByteArray &dotted)
{
    QByteArray out;
    for (const QByteArray &label : dotted.split('.'))
        out += char(label.size()) + label;
    return out + '\0';
}

const QByteArray ToQuestion("\xc0\x0c", 2); // compression pointer to the question's name
const int A = 1, CNAME = 5, AAAA = 28;

struct Query
{
    QByteArray id;
    QByteArray question; // name, type and class as received
    int type = 0;
};

Query parse(const QByteArray &q)
{
    Query out;
    out.id = q.left(2);
    int at = 12;
    while (at < q.size() && q.at(at) != 0)
        at += 1 + quint8(q.at(at));
    out.question = q.mid(12, at + 5 - 12);
    out.type = (quint8(q.at(at + 1)) << 8) | quint8(q.at(at + 2));
    return out;
}

// A response: `flags` 0x8180 is a plain answer, 0x8380 truncated, 0x8182 SERVFAIL.
QByteArray response(const Query &q, int flags, int answers, const QByteArray &records)
{
    return q.id + u16(flags) + u16(1) + u16(answers) + u16(0) + u16(0) + q.question + records;
}

QByteArray record(const QByteArray &owner, int type, const QByteArray &data)
{
    return owner + u16(type) + u16(1) + QByteArray("\0\0\0\x3c", 4) + u16(data.size()) + data;
}

QByteArray ipv4(int a, int b, int c, int d)
{
    return QByteArray(1, char(a)) + char(b) + char(c) + char(d);
}

QByteArray ipv6(const QString &text)
{
    const Q_IPV6ADDR v6 = QHostAddress(text).toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 16);
}

// The address answer for the query's type, or an empty answer.
QByteArray answerWith(const Query &q, const QByteArray &v4, const QString &v6 = QString())
{
    if (q.type == A && !v4.isEmpty())
        return response(q, 0x8180, 1, record(ToQuestion, A, v4));
    if (q.type == AAAA && !v6.isEmpty())
        return response(q, 0x8180, 1, record(ToQuestion, AAAA, ipv6(v6)));
    return response(q, 0x8180, 0, QByteArray());
}

ScriptedDnsServer::Script hostileScript(const QString &mode)
{
    return [mode](const QByteArray &raw, bool tcp) -> QByteArray {
        const Query q = parse(raw);
        const QByteArray v4 = ipv4(10, 6, 0, 1);
        if (mode == "records for another name")
            return response(q, 0x8180, 1, record(wireName("evil.test"), A, v4));
        if (mode == "wrong id") {
            Query other = q;
            other.id = u16(((quint8(q.id[0]) << 8) | quint8(q.id[1])) ^ 0x5a5a);
            return answerWith(other, v4);
        }
        if (mode == "garbage") {
            QByteArray junk;
            for (int i = 0; i < 60; ++i)
                junk += char((i * 73 + 41) & 0xff);
            return q.id + u16(0x8180) + u16(1) + u16(3) + u16(0) + u16(0) + junk;
        }
        if (mode == "compression loop") {
            const int self = 12 + q.question.size();
            return response(q, 0x8180, 1, record(u16(0xc000 | self), A, v4));
        }
        if (mode == "SERVFAIL")
            return response(q, 0x8182, 0, QByteArray());
        if (mode == "CNAME loop")
            return response(q, 0x8180, 2,
                record(ToQuestion, CNAME, wireName("b.test"))
                    + record(wireName("b.test"), CNAME, ToQuestion));
        if (mode == "truncated, then TCP" && !tcp)
            return response(q, 0x8380, 0, QByteArray());
        if (mode == "truncated, then TCP")
            return answerWith(q, v4);
        if (mode == "4000 addresses") {
            const int count = 4000;
            QByteArray records;
            for (int i = 0; i < count; ++i)
                records += q.type == A ? record(ToQuestion, A, ipv4(10, 7, i / 256, i % 256))
                                       : record(ToQuestion, AAAA, ipv6(QStringLiteral("fd00::7:%1").arg(i)));
            return response(q, 0x8180, count, records);
        }
        if (mode == "A only, AAAA never")
            return q.type == A ? answerWith(q, ipv4(10, 8, 0, 1)) : QByteArray();
        if (mode == "late") {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return answerWith(q, ipv4(10, 9, 0, 1));
        }
        return QByteArray();
    };
}

} // namespace

class TestDnsResolver : public QObject
{
    Q_OBJECT

private:
    DnsmasqProcess m_serverA;
    DnsmasqProcess m_serverB;
    DnsmasqProcess m_refusing;
    DnsmasqProcess m_serverV6;
    DnsmasqProcess m_operator;
    ScriptedDnsServer m_silent;
    ScriptedDnsServer m_silent2;
    ScriptedDnsServer m_scripted;
    int m_serial = 0;

    // lookupBlocking() waits in a loop of its own; the messages it reads
    // are the same as lookup()'s.
    static void bothForms(const QString &tag, const std::function<void(QTestData &)> &fill, bool both = true)
    {
        for (const bool blocking : { false, true }) {
            if (blocking && !both)
                break;
            QTestData &row = QTest::newRow(qPrintable(tag + (blocking ? " (blocking)" : " (async)")));
            fill(row);
            row << blocking;
        }
    }

    static void checkOutcome(const Outcome &out, const QStringList &expected)
    {
        QCOMPARE(out.signalsInsideLookup, 0);
        QCOMPARE(out.signalCount, 1);
        QCOMPARE(out.addresses, expected);
        QCOMPARE(out.error, expected.isEmpty() ? DnsResolver::HostNotFound : DnsResolver::NoError);
        QVERIFY2(out.elapsed < Timeout + Margin, qPrintable(QString::number(out.elapsed)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        qint64 peer = 0;
        QVERIFY2(setUpHandset(&peer, &why), qPrintable(why));

        const QString local = QStringLiteral("--local=/test/");
        QVERIFY2(m_serverA.start(ServerA, 53,
                     { "--address=/name.test/10.1.0.1", "--address=/dual.test/10.3.0.1",
                         "--address=/dual.test/fd00::3", "--address=/v6only.test/fd00::4", local }),
            qPrintable(m_serverA.errorString()));
        QVERIFY2(m_serverB.start(ServerB, 53, { "--address=/name.test/10.2.0.1", local }),
            qPrintable(m_serverB.errorString()));
        QVERIFY2(m_refusing.start(Refusing, 53, {}), qPrintable(m_refusing.errorString()));
        QVERIFY2(m_serverV6.start(QStringLiteral("::1"), 5353, { "--address=/name.test/10.1.0.6", local }),
            qPrintable(m_serverV6.errorString()));
        QVERIFY2(m_operator.start(OperatorDns, 53, { "--address=/operator.test/10.88.0.80", local }, peer),
            qPrintable(m_operator.errorString()));
        const auto none = [](const QByteArray &, bool) { return QByteArray(); };
        QVERIFY2(m_silent.start(QHostAddress(Silent), 53, none), qPrintable(m_silent.errorString()));
        QVERIFY2(m_silent2.start(QHostAddress(Silent2), 53, none), qPrintable(m_silent2.errorString()));
    }

    void servers_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("used");
        QTest::newRow("IPv4") << QStringList { "10.0.0.1" } << QStringList { "10.0.0.1" };
        QTest::newRow("IPv4 with port")
            << QStringList { " 10.0.0.1:5353 " } << QStringList { "10.0.0.1:5353" };
        QTest::newRow("IPv6") << QStringList { "FD00::1" } << QStringList { "fd00::1" };
        QTest::newRow("IPv6 with port")
            << QStringList { "[fd00::1]:5353" } << QStringList { "[fd00::1]:5353" };
        QTest::newRow("IPv6 bracketed") << QStringList { "[fd00::1]" } << QStringList { "fd00::1" };
        QTest::newRow("order kept, empty, unspecified and invalid dropped") << QStringList { "10.0.0.2", "",
            "0.0.0.0", "::", "dns.example", "300.1.1.1", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:x",
            "10.0.0.1:", "[10.0.0.1]:53", "[fd00::1", "[fd00::1]x", "fe80::1%lo",
            "10.0.0.1" } << QStringList { "10.0.0.2", "10.0.0.1" };
    }

    void servers()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, used);
        DnsResolver resolver;
        resolver.setServers(entries);
        QCOMPARE(resolver.servers(), used);
    }

    void resolves_data()
    {
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("silentServersAsked");
        QTest::addColumn<bool>("blocking");
        const QString v6 = QStringLiteral("[::1]:5353");
        const QStringList name = { "10.1.0.1" };
        const QStringList none;
        const auto row = [](const QString &tag, const QStringList &servers, const QString &host,
                             const QStringList &expected, int silentAsked = -1) {
            bothForms(tag, [&](QTestData &r) { r << servers << host << expected << silentAsked; });
        };
        row("first server answers", { ServerA, ServerB }, "name.test", name);
        row("the caller's order", { ServerB, ServerA }, "name.test", { "10.2.0.1" });
        row("unusable entries skipped", { "", "dns.example", ServerA }, "name.test", name);
        row("refused: next server", { Refusing, ServerB }, "name.test", { "10.2.0.1" });
        row("silent: next server", { Silent, ServerB }, "name.test", { "10.2.0.1" }, 1);
        row("IPv6 server with port", { v6 }, "name.test", { "10.1.0.6" });
        row("IPv4 first", { ServerA }, "dual.test", { "10.3.0.1", "fd00::3" });
        row("IPv6 only", { ServerA }, "v6only.test", { "fd00::4" });
        row("trailing dot", { ServerA }, "name.test.", name);
        row("unknown name", { ServerA, ServerB }, "unknown.test", none);
        row("refused everywhere", { Refusing }, "name.test", none);
        row("silent everywhere: all asked", { Silent, Silent2 }, "name.test", none, 2);
        QStringList manySilent;
        for (int i = 0; i < 10; ++i)
            manySilent << Silent << Silent2;
        row("more silent servers than the bound has time for", manySilent, "name.test", none);
        row("no usable server", { "", "dns.example" }, "name.test", none);
        row("IPv4 literal, no query", { Silent }, "10.9.9.9", { "10.9.9.9" }, 0);
        row("IPv6 literal, no query", { Silent }, "[fd00::9]", { "fd00::9" }, 0);
        row("name with a blank", { Silent }, "bad name.test", none, 0);
        row("empty label", { Silent }, "a..test", none, 0);
        row("label of 64", { Silent }, QString(64, 'a') + ".test", none, 0);
        // in-netns puts the files beside this test over /etc/hosts and /etc/resolv.conf.
        row("not the system's hosts file", { ServerA }, "hosted.test", none);
        row("not the system's servers", { Silent }, "name.test", none);
        row("not the system's search domain", { ServerA }, "name", none);
    }

    void resolves()
    {
        QFETCH(QStringList, servers);
        QFETCH(QString, name);
        QFETCH(QStringList, expected);
        QFETCH(int, silentServersAsked);
        QFETCH(bool, blocking);
        const int before = m_silent.queries().size() + m_silent2.queries().size();

        DnsResolver resolver;
        resolver.setServers(servers);
        resolver.setTimeout(Timeout);
        checkOutcome(resolve(resolver, name, blocking), expected);
        if (QTest::currentTestFailed())
            return;
        // Queries of earlier rows may still reach the silent servers' thread
        // late (slow under the sanitizers): "asked nothing" means nothing
        // about this name.
        const auto asked = [&](const ScriptedDnsServer &s) {
            const QStringList q = s.queries();
            return q.contains("A " + name) || q.contains("AAAA " + name);
        };
        if (silentServersAsked == 0)
            QVERIFY(!asked(m_silent) && !asked(m_silent2));
        else if (silentServersAsked > 0)
            QVERIFY(m_silent.queries().size() + m_silent2.queries().size() > before);
        if (silentServersAsked == 2)
            QVERIFY(asked(m_silent) && asked(m_silent2));
    }

    // Answers no real server sends end in "not found" (or the sound part of
    // them) within the bound, never a crash or a hang.
    void hostileAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("blocking");
        const auto row
            = [](const QString &mode, const QStringList &expected = QStringList(), bool tcp = false) {
                  const QString tag = mode + (tcp && !mode.contains("TCP") ? ", over TCP" : "");
                  // Both forms where the wait differs: a partial or late answer.
                  bothForms(
                      tag, [&](QTestData &r) { r << mode << tcp << expected; }, mode.contains("only"));
              };
        row("records for another name");
        row("wrong id");
        row("garbage");
        row("compression loop");
        row("SERVFAIL");
        row("CNAME loop");
        row("truncated, then TCP", { "10.6.0.1" }, true);
        QStringList first8;
        for (int i = 0; i < DnsResolver::MaxAddresses; ++i)
            first8 << QStringLiteral("10.7.0.%1").arg(i);
        // Over 512 bytes without EDNS counts as truncated: the full answer
        // comes over TCP; with no TCP server, none comes.
        row("4000 addresses", first8, true);
        row("4000 addresses");
        row("A only, AAAA never", { "10.8.0.1" });
    }

    void hostileAnswers()
    {
        QFETCH(QString, mode);
        QFETCH(bool, tcp);
        QFETCH(QStringList, expected);
        QFETCH(bool, blocking);
        QVERIFY2(m_scripted.start(QHostAddress(Scripted), 53, hostileScript(mode), tcp),
            qPrintable(m_scripted.errorString()));

        DnsResolver resolver;
        resolver.setServers({ Scripted });
        resolver.setTimeout(Timeout);
        const Outcome out = resolve(resolver, QStringLiteral("name.test"), blocking);
        checkOutcome(out, expected);
        if (QTest::currentTestFailed())
            return;
        if (mode == "A only, AAAA never") // the IPv4 answer is not held back for the silent AAAA
            QVERIFY2(out.elapsed < Timeout / 2, qPrintable(QString::number(out.elapsed)));
        if (mode.startsWith("truncated"))
            QVERIFY(m_scripted.queries().contains("tcp A name.test") == tcp);
    }

    // The operator's DNS server sits behind gprs0, which has no route: a
    // bound query reaches it with gprs0's address, whatever the default
    // route; an unbound one cannot, or leaves through wlan0.
    void interfaceBinding_data()
    {
        QTest::addColumn<bool>("defaultViaWlan");
        QTest::addColumn<QString>("interfaceName");
        QTest::addColumn<QString>("source"); // empty: no answer
        QTest::addColumn<bool>("blocking");
        const auto row = [](const QString &tag, bool viaWlan, const QString &iface, const QString &source) {
            bothForms(
                tag, [&](QTestData &r) { r << viaWlan << iface << source; }, false);
        };
        row("bound, no route at all", false, "gprs0", "10.88.0.2");
        row("unbound, no route at all", false, "", "");
        row("bound, default route via wlan0", true, "gprs0", "10.88.0.2");
        row("unbound, default route via wlan0", true, "", "10.77.0.2");
        row("bound to a missing interface", true, "nosuch0", "");
        row("bound to a name longer than an interface's", true, "gprs0-and-then-some", "");
    }

    void interfaceBinding()
    {
        QFETCH(bool, defaultViaWlan);
        QFETCH(QString, interfaceName);
        QFETCH(QString, source);
        QFETCH(bool, blocking);
        setDefaultRoute(defaultViaWlan);

        DnsResolver resolver;
        resolver.setServers({ OperatorDns });
        resolver.setInterfaceName(interfaceName);
        resolver.setTimeout(Timeout);
        const QString name = QStringLiteral("q%1.operator.test").arg(++m_serial);
        checkOutcome(resolve(resolver, name, blocking),
            source.isEmpty() ? QStringList() : QStringList { "10.88.0.80" });
        if (QTest::currentTestFailed())
            return;
        if (!source.isEmpty())
            QVERIFY(m_operator.waitForQuery("query[A] " + name + " from " + source));
    }

    // abort() ends a look-up at once with exactly one Aborted, whatever
    // stage it is in, and nothing of it comes later; destroying the
    // resolver instead ends it without any signal.
    void abortAndDestroy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("destroy");
        for (const bool destroy : { false, true }) {
            const QString how = destroy ? " (destroyed)" : " (aborted)";
            QTest::newRow(qPrintable("waiting for an answer" + how)) << "name.test" << destroy;
            QTest::newRow(qPrintable("literal not yet delivered" + how)) << "10.0.0.1" << destroy;
        }
    }

    void abortAndDestroy()
    {
        QFETCH(QString, name);
        QFETCH(bool, destroy);
        // Answers 300 ms late: the answer to the ended look-up arrives while the next one waits.
        QVERIFY(m_scripted.start(QHostAddress(Scripted), 53, hostileScript("late")));

        QPointer<DnsResolver> resolver = new DnsResolver;
        DnsResolver other;
        QList<QPair<DnsResolver::Error, QStringList>> seen;
        for (DnsResolver *r : { resolver.data(), &other }) {
            r->setServers({ Scripted });
            connect(r, &DnsResolver::finished, this, [&](DnsResolver::Error e, const QList<QHostAddress> &a) {
                seen.append({ e, texts(a) });
            });
        }
        resolver->lookup(name);
        if (destroy) {
            delete resolver;
            QVERIFY(seen.isEmpty());
        } else {
            resolver->abort();
            QCOMPARE(seen.size(), 1);
            QCOMPARE(seen.at(0).first, DnsResolver::Aborted);
            QVERIFY(!resolver->isRunning());
        }

        // The next look-up, on the same resolver unless it is gone, gets its own answer only.
        DnsResolver *next = destroy ? &other : resolver.data();
        next->lookup(QStringLiteral("next.test"));
        const int expected = destroy ? 1 : 2;
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), expected, 10000);
        QCOMPARE(seen.last().second, QStringList { "10.9.0.1" });
        QCoreApplication::processEvents();
        QCOMPARE(seen.size(), expected);
        delete resolver;
    }

    // A receiver of finished() may delete the resolver, start the next
    // look-up or abort, however the look-up ended.
    void reentrantReceiver_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QString>("action");
        // A literal and an invalid name end the same way: delivered later.
        const QList<QPair<QString, QStringList>> endings
            = { { "name.test", { ServerA } }, { "name.test", { Silent } }, { "10.0.0.1", { ServerA } } };
        const QStringList endingTags = { "answer", "deadline", "literal" };
        for (int i = 0; i < endings.size(); ++i)
            for (const char *action : { "delete", "lookup", "abort" })
                QTest::newRow(qPrintable(endingTags.at(i) + ", " + action))
                    << endings.at(i).first << endings.at(i).second << action;
    }

    void reentrantReceiver()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, servers);
        QFETCH(QString, action);
        QPointer<DnsResolver> resolver = new DnsResolver;
        resolver->setServers(servers);
        resolver->setTimeout(Timeout);
        QStringList seen;
        connect(
            resolver, &DnsResolver::finished, this, [&](DnsResolver::Error, const QList<QHostAddress> &a) {
                seen << texts(a).join(',');
                if (seen.size() > 1)
                    return;
                if (action == "delete")
                    delete resolver;
                else if (action == "lookup")
                    resolver->lookup(QStringLiteral("10.0.0.2"));
                else
                    resolver->abort();
            });
        resolver->lookup(name);
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), Timeout + 10000);
        if (action == "lookup")
            QTRY_COMPARE(seen.size(), 2);
        QCoreApplication::processEvents();
        QCOMPARE(seen.size(), action == "lookup" ? 2 : 1);
        if (action == "lookup")
            QCOMPARE(seen.at(1), QStringLiteral("10.0.0.2"));
        QCOMPARE(resolver.isNull(), action == "delete");
        delete resolver;
    }
};

QTEST_GUILESS_MAIN(TestDnsResolver)
#include "tst_dnsresolver.moc"
