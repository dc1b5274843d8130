// MmsConnectionNetImpl against the test double of libkavlo.so.0: what it
// passes to the packet-data library, and how it turns the library's callback
// into properties and signals. Runs on a private system bus (the library
// attaches the process's bus connection to the event loop).
#include <QSignalSpy>
#include <QtTest>

#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

#include "kavlodouble.h"
#include "logcapture.h"
#include "mmsconnectionimpl.h"
#include "mmsconnectionnetimpl.h"

// The double's controls, looked up in the libkavlo.so.0 that was loaded: the
// test does not link the double, so that nothing but LD_LIBRARY_PATH decides
// which libkavlo.so.0 libtarnex gets.
#define KAVLO(name)                                                                                          \
    (reinterpret_cast<decltype(&kavlo_double_##name)>(dlsym(RTLD_DEFAULT, "kavlo_double_" #name)))

namespace {
QStringList calls()
{
    QStringList out;
    for (int i = 0; i < KAVLO(call_count)(); ++i)
        out << QString::fromUtf8(KAVLO(call)(i));
    return out;
}

// A record that ends right before an unreadable page, so that reading past
// its end crashes instead of going unnoticed.
struct GuardedRecord
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    char *base = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    GuardedRecord() { mprotect(base + page, page, PROT_NONE); }
    ~GuardedRecord() { munmap(base, 2 * page); }
    mms_context_s *record() { return reinterpret_cast<mms_context_s *>(base + page - sizeof(mms_context_s)); }
};
} // namespace

class TestMmsConnectionNetImpl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // libtarnex's run path names the stand-in; the double must win.
        QVERIFY2(KAVLO(reset) && KAVLO(set_init_fails) && KAVLO(set_connect_result) && KAVLO(call_count)
                && KAVLO(call) && KAVLO(fire),
            "libkavlo.so.0 loaded is not the test double");
        Dl_info info;
        QVERIFY(dladdr(reinterpret_cast<void *>(&mms_init), &info));
        QVERIFY2(QByteArray(info.dli_fname).contains("tests/kavlo/double/"), info.dli_fname);
    }

    void init() { KAVLO(reset)(); }

    // Must run first: the bus is attached by the first object in the process.
    void busAttachedOncePerProcess()
    {
        DebugFlag debug(true);
        LogCapture log;
        {
            MmsConnectionNetImpl first;
            MmsConnectionNetImpl second;
        }
        QCOMPARE(log.lines(),
            QStringList({ "D: [CONN] Registering DBus with event loop", "D: [CONN] Init KAVLO",
                "D: [CONN] Init KAVLO" }));
        QCOMPARE(
            calls(), QStringList({ "mms_init -> h1", "mms_init -> h2", "mms_deinit(h2)", "mms_deinit(h1)" }));
    }

    void failedInit()
    {
        DebugFlag debug(false);
        LogCapture log;
        KAVLO(set_init_fails)(1);
        {
            MmsConnectionNetImpl c;
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            QVERIFY(!c.openConnection("internet", "user", "pass"));
            QCOMPARE(established.count(), 1);
            QCOMPARE(established.at(0).at(0).toInt(), 1);
            QVERIFY(!c.closeConnection());
        }
        QCOMPARE(log.lines(),
            QStringList({ "[CONN] Unable to initialize MMS connection library",
                "[CONN] Couldn't open connection: KAVLO is not initialized" }));
        QCOMPARE(calls(), QStringList({ "mms_init -> NULL" }));
    }

    // Settings are created, handed over and destroyed whatever the result;
    // the signal comes only from the callback.
    void openConnection_data()
    {
        QTest::addColumn<QStringList>("args"); // apn, user, password
        QTest::addColumn<int>("result");
        QTest::newRow("accepted") << QStringList({ "internet", "bob", "s3cret" }) << 0;
        QTest::newRow("empty user and password") << QStringList({ "mms", "", "" }) << 0;
        QTest::newRow("null strings") << QStringList({ QString(), QString(), QString() }) << 0;
        QTest::newRow("refused, negative") << QStringList({ "mms", "u", "p" }) << -16;
        QTest::newRow("refused, positive") << QStringList({ "mms", "u", "p" }) << 1;
    }

    void openConnection()
    {
        QFETCH(QStringList, args);
        QFETCH(int, result);
        DebugFlag debug(true);
        KAVLO(set_connect_result)(result);
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        LogCapture log;
        QCOMPARE(c.openConnection(args.at(0), args.at(1), args.at(2)), result == 0);
        QCOMPARE(established.count(), 0);
        QCOMPARE(calls(),
            QStringList({ "mms_init -> h1",
                QString(R"(mms_settings_create("%1","%2","%3") -> s1)")
                    .arg(args.at(0), args.at(1), args.at(2)),
                "mms_connect(h1,s1)", "mms_settings_destroy(s1)" }));
        QCOMPARE(log.matching("mms_connect returned:"),
            QStringList("D: [LIBTARNEX] mms_connect returned: " + QString::number(result)));
        QCOMPARE(log.matching("Open new GPRS connection"),
            QStringList(
                QString(R"(D: [LIBTARNEX] Open new GPRS connection: apn: "%1"  user: "%2"  pass: "%3")")
                    .arg(args.at(0), args.at(1), args.at(2).isEmpty() ? "" : "********")));
        QVERIFY(!log.contains("s3cret"));
    }

    // An empty secondary DNS is a value; a null callback after a good one
    // keeps the addresses.
    void callbackUpThenLost()
    {
        DebugFlag debug(true);
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.openConnection("mms", "", ""));
        LogCapture log;

        mms_context_s up {};
        std::strcpy(up.ifname, "gprs0");
        std::strcpy(up.ip, "10.1.2.3");
        std::strcpy(up.pdns, "10.0.0.53");
        QVERIFY(KAVLO(fire)(&up));
        QVERIFY(KAVLO(fire)(nullptr));
        QCOMPARE(established.count(), 2);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(established.at(1).at(0).toInt(), 1);
        QCOMPARE(gone.count(), 0);
        QCOMPARE(c.interfaceName(), QString("gprs0"));
        QCOMPARE(c.ipAddress(), QString("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QString("10.0.0.53"));
        QVERIFY(!c.secondaryDNS().isNull());
        QCOMPARE(c.secondaryDNS(), QString(""));
        QCOMPARE(log.lines(),
            QStringList(
                { "I: [CONN] GPRS Connection is available", "I: [CONN] GPRS Connection is lost or closed" }));
    }

    void recordWithoutNuls()
    {
        MmsConnectionNetImpl c;
        QVERIFY(c.openConnection("mms", "", ""));
        GuardedRecord guarded;
        mms_context_s *r = guarded.record();
        std::memset(r, 'z', sizeof *r); // padding after the last field too
        std::memset(r->ifname, 'i', sizeof r->ifname);
        std::memset(r->ip, 'a', sizeof r->ip);
        std::memset(r->pdns, 'p', sizeof r->pdns);
        std::memset(r->sdns, 's', sizeof r->sdns);
        QVERIFY(KAVLO(fire)(r));
        QCOMPARE(c.interfaceName(), QString(16, 'i'));
        QCOMPARE(c.ipAddress(), QString(46, 'a'));
        QCOMPARE(c.primaryDNS(), QString(46, 'p'));
        QCOMPARE(c.secondaryDNS(), QString(46, 's'));
    }

    // The closure is the library's to report, through the callback.
    void closeThenDestroy()
    {
        std::unique_ptr<MmsConnectionNetImpl> c(new MmsConnectionNetImpl);
        QSignalSpy established(c.get(), SIGNAL(connectionEstablished(int)));
        QVERIFY(c->closeConnection());
        QCOMPARE(established.count(), 0);
        c.reset();
        QCOMPARE(calls(), QStringList({ "mms_init -> h1", "mms_disconnect(h1)", "mms_deinit(h1)" }));
    }

    void factory()
    {
        DebugFlag debug(false);
        LogCapture log;
        std::unique_ptr<MmsConnection> a(MmsConnection::createConnection(MmsConnection::NetConnection));
        std::unique_ptr<MmsConnection> b(MmsConnection::createConnection(MmsConnection::NetConnection));
        std::unique_ptr<MmsConnection> g(MmsConnection::createConnection(MmsConnection::GprsConnection));
        std::unique_ptr<MmsConnection> h(MmsConnection::createConnection(MmsConnection::GprsConnection));
        QVERIFY(a != b && g != h);
        QVERIFY(
            qobject_cast<MmsConnectionNetImpl *>(a.get()) && qobject_cast<MmsConnectionNetImpl *>(b.get()));
        QVERIFY(qobject_cast<MmsConnectionImpl *>(g.get()) && qobject_cast<MmsConnectionImpl *>(h.get()));
        QVERIFY(
            !qobject_cast<MmsConnectionImpl *>(a.get()) && !qobject_cast<MmsConnectionNetImpl *>(g.get()));
        QCOMPARE(KAVLO(call_count)(), 2); // the library is not involved in type 0
        QVERIFY(log.lines().isEmpty());
        for (int type : { 2, -1 }) {
            QVERIFY(!MmsConnection::createConnection(MmsConnection::MmsConnectionType(type)));
            QCOMPARE(log.lines(), QStringList("Unexpected connection type, return NULL!"));
            log.clear();
        }
    }
};

QTEST_GUILESS_MAIN(TestMmsConnectionNetImpl)
#include "tst_mmsconnectionnetimpl.moc"
