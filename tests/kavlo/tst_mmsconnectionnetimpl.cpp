// MmsConnectionNetImpl over the libkavlo.so.0 stand-in, against gprs-sim,
// with the real /sbin/ifconfig in a private network namespace (gprs0 is a
// veth end). failedInit runs as a ctest case of its own, without a bus.
#include <QAbstractEventDispatcher>
#include <QDBusConnection>
#include <QSignalSpy>
#include <QtTest>

#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

#include <kavlo.h>

#include "gprssimcontrol.h"
#include "iptool.h"
#include "logcapture.h"
#include "mmsconnectionnetimpl.h"
#include "netnsguard.h"

namespace {
const int Wait = 20000; // generous: ifconfig is a real program on a shared machine

int nullTexts = 0;

// Opens and waits for the answer: its code, or -1 without exactly one.
int open(MmsConnectionNetImpl &c)
{
    QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
    if (!c.openConnection("mms", "", "") || !established.wait(Wait) || established.count() != 1)
        return -1;
    return established.at(0).at(0).toInt();
}
} // namespace

// The handset's library may not take a null text: this executable's own
// mms_settings_create comes first in symbol lookup (ENABLE_EXPORTS), counts
// null pointers, and passes the call on to the stand-in.
extern "C" mms_settings_t *mms_settings_create(const char *apn, const char *user, const char *password)
{
    nullTexts += !apn + !user + !password;
    static const auto next
        = reinterpret_cast<decltype(&mms_settings_create)>(dlsym(RTLD_NEXT, "mms_settings_create"));
    return next(apn, user, password);
}

class TestMmsConnectionNetImpl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_busless = !QDBusConnection::systemBus().isConnected();
        if (m_busless)
            return;
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        // The library's callbacks come through GLib's loop, run by Qt's.
        QVERIFY(QAbstractEventDispatcher::instance()->inherits("QEventDispatcherGlib"));
    }

    void init()
    {
        if (m_busless != (QByteArray(QTest::currentTestFunction()) == "failedInit"))
            QSKIP("failedInit runs alone, without a bus; the others need one");
        if (m_busless)
            return;
        QVERIFY(m_sim.reset());
        QCOMPARE(QProcess::execute("ip", { "addr", "flush", "dev", "gprs0" }), 0);
        QCOMPARE(QProcess::execute("ip", { "link", "set", "gprs0", "down" }), 0);
    }

    // Without a handle every call fails and says so.
    void failedInit()
    {
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(!c.openConnection("internet", "user", "pass"));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QVERIFY(!c.closeConnection());
    }

    // Must run first of those with a bus: the first object attaches the bus
    // to the event loop, no later one again. Answers come through the Qt
    // event loop, never from inside the call; empty texts reach the library
    // as "", not null.
    void openThenClose()
    {
        DebugFlag debug(true);
        LogCapture log;
        MmsConnectionNetImpl c;
        {
            MmsConnectionNetImpl other;
        }
        QCOMPARE(log.matching("Registering DBus").size(), 1);
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.closeConnection()); // no callback given yet: nothing to report to
        QVERIFY(c.openConnection("mms.example", "alice", "s3cret"));
        QCOMPARE(established.count(), 0);
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(QStringList({ c.interfaceName(), c.ipAddress(), c.primaryDNS(), c.secondaryDNS() }),
            QStringList({ "gprs0", "10.1.2.3", "10.1.1.1", "10.1.1.2" }));
        QVERIFY(gprs0Up());
        QCOMPARE(m_sim.calls("QuickConnect").at(0), QStringList({ "mms.example", "IP", "alice", "s3cret" }));
        QVERIFY(log.contains(R"(pass: "********")"));
        QVERIFY(!log.contains("s3cret"));
        QVERIFY(c.closeConnection());
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 2);
        QCOMPARE(established.last().at(0).toInt(), 1);
        QVERIFY(!gprs0Up());
        QVERIFY(c.openConnection(QString(), QString(), QString()));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.last().at(0).toInt(), 0);
        QCOMPARE(m_sim.calls("QuickConnect").at(1), QStringList({ "", "IP", "", "" }));
        QCOMPARE(nullTexts, 0);
    }

    // The service's Detached is a lost connection; an object destroyed while
    // up takes it down. A secondary DNS the context lacks fails no open.
    void endsWhileUp()
    {
        QVERIFY(m_sim.omitProperty("SDNSAddress"));
        auto c = std::make_unique<MmsConnectionNetImpl>();
        QCOMPARE(open(*c), 0);
        QCOMPARE(c->secondaryDNS(), QString(""));
        QSignalSpy established(c.get(), SIGNAL(connectionEstablished(int)));
        QVERIFY(m_sim.emitSignal("Detached"));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QVERIFY(!gprs0Up());
        QCOMPARE(open(*c), 0);
        c.reset();
        QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        QTRY_VERIFY_WITH_TIMEOUT(!gprs0Up(), Wait);
    }

    // A refused connect; a context with an address ifconfig would take with
    // more words (configuring gprs0): nothing configured, the context deleted.
    void openFails()
    {
        MmsConnectionNetImpl c;
        QVERIFY(m_sim.failNext("QuickConnect"));
        QCOMPARE(open(c), 1);
        QVERIFY(m_sim.calls("Get").isEmpty());
        QVERIFY(m_sim.setContextProperty("PDPAddress", "10.1.2.3 netmask 255.0.0.0"));
        QCOMPARE(open(c), 1);
        QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        QCOMPARE(c.ipAddress(), QString());
        QVERIFY(!gprs0Up());
    }

    // An open in progress refuses a second one, and a close cuts it short;
    // the context the service makes after all is not left behind.
    void closeWhileConnecting()
    {
        QVERIFY(m_sim.holdNext("QuickConnect", -1));
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection("mms", "", ""));
        QVERIFY(!c.openConnection("mms", "", ""));
        QVERIFY(m_sim.waitForCalls("QuickConnect", 1, Wait));
        QVERIFY(c.closeConnection());
        QCOMPARE(established.count(), 0);
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);

        // The late answer's context is deleted unread, without a callback.
        QVERIFY(m_sim.releaseHeld());
        QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        QCOMPARE(m_sim.calls("Get").count(), 0);
        QCOMPARE(established.count(), 1);
    }

    // Fields without their NUL, in a record right before an unreadable page:
    // reading past a field's end shows, past the record's crashes.
    void recordWithoutNuls()
    {
        MmsConnectionNetImpl c;
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        char *base = static_cast<char *>(
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        QVERIFY(base != MAP_FAILED && mprotect(base + page, page, PROT_NONE) == 0);
        auto *r = reinterpret_cast<mms_context_s *>(base + page - sizeof(mms_context_s));
        std::memset(r, 'z', sizeof *r); // padding after the last field too
        std::memset(r->ifname, 'i', sizeof r->ifname);
        std::memset(r->ip, 'a', sizeof r->ip);
        std::memset(r->pdns, 'p', sizeof r->pdns);
        std::memset(r->sdns, 's', sizeof r->sdns);
        MmsConnectionNetImpl::kavlo_callback(r, &c);
        munmap(base, 2 * page);
        QCOMPARE(QStringList({ c.interfaceName(), c.ipAddress(), c.primaryDNS(), c.secondaryDNS() }),
            QStringList({ QString(16, 'i'), QString(46, 'a'), QString(46, 'p'), QString(46, 's') }));
    }

private:
    GprsSimControl m_sim;
    bool m_busless = false;
};

QTEST_GUILESS_MAIN(TestMmsConnectionNetImpl)
#include "tst_mmsconnectionnetimpl.moc"
