// MmsConnectionNetImpl against the test double of libkavlo.so.0: what it
// passes to the packet-data library, and how it turns the library's callback
// into properties and signals. Runs on a private system bus (the library
// attaches the process's bus connection to the event loop).
#include <QSignalSpy>
#include <QtTest>

#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

#include "kavlodouble.h"
#include "logcapture.h"
#include "mmsconnectionimpl.h"
#include "mmsconnectionnetimpl.h"

namespace {
// The double's controls, looked up in the libkavlo.so.0 that was loaded: the
// test does not link the double, so that nothing but LD_LIBRARY_PATH decides
// which libkavlo.so.0 libtarnex gets.
struct Double
{
    decltype(&kavlo_double_reset) reset = nullptr;
    decltype(&kavlo_double_set_init_fails) setInitFails = nullptr;
    decltype(&kavlo_double_set_connect_result) setConnectResult = nullptr;
    decltype(&kavlo_double_call_count) callCount = nullptr;
    decltype(&kavlo_double_call) call = nullptr;
    decltype(&kavlo_double_fire) fire = nullptr;

    bool resolve()
    {
        reset = lookup<decltype(reset)>("kavlo_double_reset");
        setInitFails = lookup<decltype(setInitFails)>("kavlo_double_set_init_fails");
        setConnectResult = lookup<decltype(setConnectResult)>("kavlo_double_set_connect_result");
        callCount = lookup<decltype(callCount)>("kavlo_double_call_count");
        call = lookup<decltype(call)>("kavlo_double_call");
        fire = lookup<decltype(fire)>("kavlo_double_fire");
        return reset && setInitFails && setConnectResult && callCount && call && fire;
    }
    template <typename F> static F lookup(const char *name)
    {
        return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    }
} kavlo;

QStringList calls()
{
    QStringList out;
    for (int i = 0; i < kavlo.callCount(); ++i)
        out << QString::fromUtf8(kavlo.call(i));
    return out;
}

void fill(char *field, size_t size, const char *text)
{
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

// A record that ends right before an unreadable page, so that reading past
// its end crashes instead of going unnoticed.
class GuardedRecord
{
public:
    GuardedRecord()
    {
        m_page = size_t(sysconf(_SC_PAGESIZE));
        m_base = static_cast<char *>(
            mmap(nullptr, 2 * m_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(m_base + m_page, m_page, PROT_NONE);
    }
    ~GuardedRecord() { munmap(m_base, 2 * m_page); }
    mms_context_s *record()
    {
        return reinterpret_cast<mms_context_s *>(m_base + m_page - sizeof(mms_context_s));
    }

private:
    size_t m_page;
    char *m_base;
};
} // namespace

class TestMmsConnectionNetImpl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // libtarnex's run path names the stand-in; the double must win.
        QVERIFY2(kavlo.resolve(), "libkavlo.so.0 loaded is not the test double");
        Dl_info info;
        QVERIFY(dladdr(reinterpret_cast<void *>(&mms_init), &info));
        QVERIFY2(QByteArray(info.dli_fname).contains("tests/kavlo/double/"), info.dli_fname);
    }

    void init() { kavlo.reset(); }

    // Must run first: the bus is attached by the first object in the process.
    void busAttachedOncePerProcess()
    {

        DebugFlag debug(true);
        LogCapture log;
        {
            MmsConnectionNetImpl first;
            MmsConnectionNetImpl second;
        }
        QCOMPARE(log.lines(QtDebugMsg),
            QStringList({ "D: [CONN] Registering DBus with event loop", "D: [CONN] Init KAVLO",
                "D: [CONN] Init KAVLO" }));
        QVERIFY(log.lines(QtCriticalMsg).isEmpty());
        QCOMPARE(
            calls(), QStringList({ "mms_init -> h1", "mms_init -> h2", "mms_deinit(h2)", "mms_deinit(h1)" }));
    }

    void failedInit()
    {
        DebugFlag debug(false);
        LogCapture log;
        kavlo.setInitFails(1);
        {
            MmsConnectionNetImpl c;
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            QVERIFY(!c.openConnection("internet", "user", "pass"));
            QCOMPARE(established.count(), 1);
            QCOMPARE(established.at(0).at(0).toInt(), 1);
            QVERIFY(!c.closeConnection());
        }
        QCOMPARE(log.lines(QtCriticalMsg),
            QStringList({ "[CONN] Unable to initialize MMS connection library",
                "[CONN] Couldn't open connection: KAVLO is not initialized" }));
        QVERIFY(log.lines(QtDebugMsg).isEmpty());
        QCOMPARE(calls(), QStringList({ "mms_init -> NULL" }));
    }

    void openConnection_data()
    {
        QTest::addColumn<QString>("apn");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("pass");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("created");

        QTest::newRow("accepted") << "internet"
                                  << "bob"
                                  << "s3cret" << 0 << R"(mms_settings_create("internet","bob","s3cret"))";
        QTest::newRow("empty user and password") << "mms"
                                                 << ""
                                                 << "" << 0 << R"(mms_settings_create("mms","",""))";
        QTest::newRow("null strings")
            << QString() << QString() << QString() << 0 << R"(mms_settings_create("","",""))";
        QTest::newRow("refused, negative") << "mms"
                                           << "u"
                                           << "p" << -16 << R"(mms_settings_create("mms","u","p"))";
        QTest::newRow("refused, positive") << "mms"
                                           << "u"
                                           << "p" << 1 << R"(mms_settings_create("mms","u","p"))";
        QTest::newRow("refused, INT_MIN") << "mms"
                                          << "u"
                                          << "p" << INT_MIN << R"(mms_settings_create("mms","u","p"))";
    }

    void openConnection()
    {
        QFETCH(QString, apn);
        QFETCH(QString, user);
        QFETCH(QString, pass);
        QFETCH(int, result);
        QFETCH(QString, created);

        DebugFlag debug(true);
        kavlo.setConnectResult(result);
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        LogCapture log;

        QCOMPARE(c.openConnection(apn, user, pass), result == 0);
        QCOMPARE(established.count(), 0);
        // Settings are created, handed over and destroyed whatever the result.
        QCOMPARE(calls(),
            QStringList(
                { "mms_init -> h1", created + " -> s1", "mms_connect(h1,s1)", "mms_settings_destroy(s1)" }));
        QCOMPARE(log.matching("mms_connect returned:"),
            QStringList("D: [LIBTARNEX] mms_connect returned: " + QString::number(result)));
    }

    void passwordNeverLogged()
    {
        DebugFlag debug(true);
        MmsConnectionNetImpl c;
        LogCapture log;
        c.openConnection("internet", "bob", "s3cret");
        c.openConnection("internet", "bob", QString());
        QCOMPARE(log.matching("Open new GPRS connection"),
            QStringList(
                { R"(D: [LIBTARNEX] Open new GPRS connection: apn: "internet"  user: "bob"  pass: "********")",
                    R"(D: [LIBTARNEX] Open new GPRS connection: apn: "internet"  user: "bob"  pass: "")" }));
        QVERIFY(!log.contains("s3cret"));
    }

    void callbackUpThenLost()
    {
        DebugFlag debug(true);
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.openConnection("mms", "", ""));
        LogCapture log;

        mms_context_s up;
        std::memset(&up, 0, sizeof up);
        fill(up.ifname, sizeof up.ifname, "gprs0");
        fill(up.ip, sizeof up.ip, "10.1.2.3");
        fill(up.pdns, sizeof up.pdns, "10.0.0.53");
        fill(up.sdns, sizeof up.sdns, ""); // no secondary server
        QVERIFY(kavlo.fire(&up));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(c.interfaceName(), QStringLiteral("gprs0"));
        QCOMPARE(c.ipAddress(), QStringLiteral("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.0.0.53"));
        QVERIFY(!c.secondaryDNS().isNull());
        QCOMPARE(c.secondaryDNS(), QString(""));

        QVERIFY(kavlo.fire(nullptr));
        QCOMPARE(established.count(), 2);
        QCOMPARE(established.at(1).at(0).toInt(), 1);
        QCOMPARE(c.interfaceName(), QStringLiteral("gprs0"));
        QCOMPARE(c.ipAddress(), QStringLiteral("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.0.0.53"));
        QCOMPARE(gone.count(), 0);
        QCOMPARE(log.lines(QtDebugMsg),
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

        QVERIFY(kavlo.fire(r));
        QCOMPARE(c.interfaceName(), QString(16, 'i'));
        QCOMPARE(c.ipAddress(), QString(46, 'a'));
        QCOMPARE(c.primaryDNS(), QString(46, 'p'));
        QCOMPARE(c.secondaryDNS(), QString(46, 's'));
    }

    void closeThenDestroy()
    {
        std::unique_ptr<MmsConnectionNetImpl> c(new MmsConnectionNetImpl);
        QSignalSpy established(c.get(), SIGNAL(connectionEstablished(int)));
        QVERIFY(c->closeConnection());
        // The closure is the library's to report, through the callback.
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
        QVERIFY(a && b && a != b);
        QVERIFY(qobject_cast<MmsConnectionNetImpl *>(a.get()));
        QVERIFY(qobject_cast<MmsConnectionNetImpl *>(b.get()));
        QVERIFY(!qobject_cast<MmsConnectionImpl *>(a.get()));
        QCOMPARE(kavlo.callCount(), 2);

        std::unique_ptr<MmsConnection> g(MmsConnection::createConnection(MmsConnection::GprsConnection));
        std::unique_ptr<MmsConnection> h(MmsConnection::createConnection(MmsConnection::GprsConnection));
        QVERIFY(g && h && g != h);
        QVERIFY(qobject_cast<MmsConnectionImpl *>(g.get()));
        QVERIFY(!qobject_cast<MmsConnectionNetImpl *>(g.get()));
        QVERIFY(qobject_cast<MmsConnection *>(g.get()) && qobject_cast<MmsConnection *>(a.get()));
        QCOMPARE(kavlo.callCount(), 2); // the library is not involved in type 0
        QVERIFY(log.lines().isEmpty());

        for (int type : { 2, -1, 100 }) {
            log.clear();
            QVERIFY(!MmsConnection::createConnection(MmsConnection::MmsConnectionType(type)));
            QCOMPARE(log.lines(QtWarningMsg), QStringList("Unexpected connection type, return NULL!"));
        }
        QCOMPARE(kavlo.callCount(), 2);
    }
};

QTEST_GUILESS_MAIN(TestMmsConnectionNetImpl)
#include "tst_mmsconnectionnetimpl.moc"
