// Transfers through the MMS bearer (setNetworkInterface, setDnsServers) in
// the namespaces of bearernet.h. The peer plays the Wi-Fi network (10.77.0.1:
// the DNS server of the handset's resolv.conf, a web server) and the operator
// (10.88.0.1: its DNS server, the MMSC); each DNS server answers with its own.
#include <QNetworkReply>
#include <QUdpSocket>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "bearernet.h"
#include "dnsmasqprocess.h"
#include "httptestserver.h"
#include "qhttp.h"
#include "transfer.h"
#include "transferoptions_p.h"

namespace {

const QString Mmsc = QStringLiteral("10.88.0.1");
const QString Wifi = QStringLiteral("10.77.0.1");
const QString Gprs0Address = QStringLiteral("10.88.0.2");
const QString Wlan0Address = QStringLiteral("10.77.0.2");
const QString Silent = QStringLiteral("127.0.0.14");
const QString Silent2 = QStringLiteral("127.0.0.15");
const quint16 Port = 8080;

// Short, so the failing rows stay quick; the bound checks add a margin.
const int Bound = 1000;
const int Margin = 1500;

// The socket client and the manager's relay; senders and receivers share them.
const Kind Paths[] = { Kinds[0], Kinds[3] };

// Sockets stay in the namespace they were made in: the servers listen in the
// peer's, and the thread goes straight back to its own.
bool listenInPeer(HttpTestServer &server, const QString &address)
{
    const QByteArray peerNs = "/proc/" + qgetenv("TARNEX_PEER_PID") + "/ns/net";
    const int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int peer = ::open(peerNs.constData(), O_RDONLY | O_CLOEXEC);
    bool ok = false;
    if (own >= 0 && peer >= 0 && ::setns(peer, CLONE_NEWNET) == 0) {
        ok = server.listen(QHostAddress(address), Port);
        if (::setns(own, CLONE_NEWNET) != 0)
            qFatal("cannot return to the test's own network namespace");
    }
    ::close(own);
    ::close(peer);
    return ok;
}

struct Route
{
    QString interfaceName;
    QStringList dnsServers;
    QString proxy; // host name or address; port Port
};

void setRoute(Transfer &t, const Route &route)
{
    t.setProxy(route.proxy, route.proxy.isEmpty() ? 0 : Port);
    t.apply([&](auto *o) {
        o->setNetworkInterface(route.interfaceName);
        o->setDnsServers(route.dnsServers);
    });
}

// "http://HOST:8080/mms" to the transfer, the answer into `out`.
void start(Transfer &t, const QString &host, QIODevice *out)
{
    t.start(QStringLiteral("http://%1:%2/mms").arg(host).arg(Port), Port, out);
}

} // namespace

Q_DECLARE_METATYPE(Route)

class TestTransferBearer : public QObject
{
    Q_OBJECT

private:
    DnsmasqProcess m_operatorDns;
    DnsmasqProcess m_wifiDns;
    // Never answer; what they were sent waits in their queues.
    QUdpSocket m_silent;
    QUdpSocket m_silent2;
    HttpTestServer m_mmsc;
    HttpTestServer m_wifi;
    int m_serial = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        qint64 peer = 0;
        QVERIFY2(setUpHandset(&peer, &why), qPrintable(why));

        const QString local = QStringLiteral("--local=/test/");
        QVERIFY(m_operatorDns.start(Mmsc, 53,
            { "--address=/mmsc.operator.test/" + Mmsc, "--address=/wap.operator.test/" + Mmsc, local },
            peer));
        QVERIFY(m_wifiDns.start(Wifi, 53, { "--address=/operator.test/" + Wifi, local }, peer));
        QVERIFY(listenInPeer(m_mmsc, Mmsc));
        QVERIFY(listenInPeer(m_wifi, Wifi));
        // Each web server answers with its own name.
        m_mmsc.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "mmsc")));
        m_wifi.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "wifi")));
    }

    // Fresh silent servers: nothing an earlier row sent can count for this one.
    void init()
    {
        m_silent.close();
        m_silent2.close();
        QVERIFY(m_silent.bind(QHostAddress(Silent), 53) && m_silent2.bind(QHostAddress(Silent2), 53));
    }

    // Where a transfer goes, and that it leaves through the interface it is
    // bound to, else through the default route (wlan0). A
    // name the given servers do not resolve (NAME: one of its own per row, so
    // no answer is cached anywhere) ends the transfer once with host-not-found
    // within the bound, also where the transfer's limit is shorter than the
    // resolver's own, and never falls back to the system's resolver.
    void reachesTheMmsc_data()
    {
        addKindColumns();
        QTest::addColumn<QString>("host");
        QTest::addColumn<Route>("route");
        QTest::addColumn<QString>("server"); // "mmsc", "wifi", or empty with `code`
        QTest::addColumn<int>("code");
        const QString name = QStringLiteral("mmsc.operator.test");
        const QStringList dns = { Mmsc };
        for (const auto &k : Paths) {
            const int notFound = k.nm ? int(QNetworkReply::HostNotFoundError) : int(QHttp::HostNotFound);
            const int unbound
                = k.nm ? int(QNetworkReply::UnknownNetworkError) : int(QHttp::ConnectionRefused);
            kindRow(k, "name through the given servers")
                << name << Route { "gprs0", dns, "" } << "mmsc" << 200;
            kindRow(k, "name through the system's resolver") << name << Route {} << "wifi" << 200;
            kindRow(k, "proxy name through the given servers")
                << name << Route { "gprs0", dns, "wap.operator.test" } << "mmsc" << 200;
            kindRow(k, "bound to a missing interface")
                << Mmsc << Route { "nosuch0", {}, "" } << "" << unbound;
            kindRow(k, "unknown name") << "NAME" << Route { "gprs0", dns, "" } << "" << notFound;
            // Every server still gets asked within the shorter limit.
            kindRow(k, "silent servers, the transfer time limit")
                << "NAME" << Route { "", { Silent, Silent2 }, "" } << "" << notFound;
        }
    }

    void reachesTheMmsc()
    {
        FETCH_TRANSFER(t);
        QFETCH(QString, host);
        QFETCH(Route, route);
        QFETCH(QString, server);
        QFETCH(int, code);
        if (host == "NAME")
            host = QStringLiteral("n%1.operator.test").arg(++m_serial);

        setRoute(t, route);
        const bool silent = route.dnsServers.contains(Silent);
        TransferOptions::of(t.object.get())->dnsTimeout = silent ? 100 * Bound : Bound;
        t.setLimits(silent ? Bound : 0);
        Device out;
        QElapsedTimer clock;
        clock.start();
        start(t, host, &out);
        QVERIFY(t.done.wait(Bound + 10 * Margin));
        const qint64 took = clock.elapsed();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.code(), code);
        if (server.isEmpty()) {
            QVERIFY2(took < Bound + Margin, QByteArray::number(took));
            QVERIFY(!m_wifiDns.queries().join('\n').contains(host));
            if (silent)
                QVERIFY(m_silent.hasPendingDatagrams() && m_silent2.hasPendingDatagrams());
            return;
        }
        QCOMPARE(out.data(), server.toLatin1());
        QCOMPARE((server == "mmsc" ? m_mmsc : m_wifi).requests().last().peer,
            route.interfaceName.isEmpty() ? Wlan0Address : Gprs0Address);
    }

    // Settings made between two transfers of one object count for the
    // second, and the idle connection the first left is not used for it when
    // they changed. A first transfer aborted during its look-up ends as any
    // abort (silently on the socket client, with 5 on the manager's), and
    // nothing more comes of it, not even once its servers' time is up.
    void nextTransfer_data()
    {
        addKindColumns();
        QTest::addColumn<Route>("first");
        QTest::addColumn<Route>("second"); // reaches the MMSC
        QTest::addColumn<bool>("reused");
        const Route operatorDns { "", { Mmsc }, "" };
        const Route bound { "gprs0", { Mmsc }, "" };
        for (const auto &k : Paths) {
            kindRow(k, "interface set") << operatorDns << bound << false;
            kindRow(k, "other servers") << Route { "", { Wifi }, "" } << operatorDns << false;
            kindRow(k, "unchanged") << bound << bound << true;
            kindRow(k, "first aborted while resolving")
                << Route { "", { Silent }, "" } << operatorDns << false;
        }
    }

    void nextTransfer()
    {
        FETCH_TRANSFER(t);
        QFETCH(Route, first);
        QFETCH(Route, second);
        QFETCH(bool, reused);
        const bool abort = first.dnsServers.contains(Silent);
        TransferOptions::of(t.object.get())->dnsTimeout = Bound;
        if (abort) // the second transfer outlasts the aborted look-up's time
            m_mmsc.enqueue(HttpTestResponse().pause(2 * Bound).send(HttpTestServer::reply(200, "mmsc")));
        Device out[2];
        int connection[2] = { -1, -1 }; // at the MMSC
        for (int i = 0; i < 2; ++i) {
            setRoute(t, i ? second : first);
            start(t, QStringLiteral("mmsc.operator.test"), &out[i]);
            if (abort && i == 0) {
                QTRY_VERIFY(m_silent.hasPendingDatagrams());
                t.abort();
                continue;
            }
            QVERIFY(
                QTest::qWaitFor([&] { return t.done.count() == (abort && !nm ? i : i + 1); }, 10 * Bound));
            if (out[i].data() == "mmsc")
                connection[i] = m_mmsc.requests().last().connection;
        }
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), abort && !nm ? 1 : 2);
        QCOMPARE(t.code(0), abort && nm ? int(QNetworkReply::OperationCanceledError) : 200);
        QCOMPARE(t.code(t.done.count() - 1), 200);
        QCOMPARE(out[1].data(), QByteArray("mmsc"));
        QCOMPARE(m_mmsc.requests().last().peer, second.interfaceName.isEmpty() ? Wlan0Address : Gprs0Address);
        QCOMPARE(connection[0] == connection[1], reused);
    }
};

QTEST_GUILESS_MAIN(TestTransferBearer)
#include "tst_transferbearer.moc"
