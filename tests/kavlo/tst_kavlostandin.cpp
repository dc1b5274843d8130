// MmsConnectionNetImpl over the libkavlo.so.0 stand-in, against the GPRS
// simulator on a private bus, inside a private network namespace where
// /sbin/ifconfig is the real one and gprs0 is a veth end. The library's
// callbacks reach the test through the Qt event loop, which runs GLib's.
#include <QAbstractEventDispatcher>
#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <memory>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <kavlo.h>

#include "gprssimcontrol.h"
#include "logcapture.h"
#include "mmsconnectionnetimpl.h"
#include "netnsguard.h"

namespace {
const char *const Iface = "gprs0";
const int Wait = 20000; // generous: ifconfig is a real program on a shared machine

struct IfState
{
    bool exists = false;
    bool up = false;
    QString address; // empty without an IPv4 address
};

IfState ifState(const char *name)
{
    IfState state;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req {};
    qstrncpy(req.ifr_name, name, IFNAMSIZ);
    if (ioctl(fd, SIOCGIFFLAGS, &req) == 0) {
        state.exists = true;
        state.up = req.ifr_flags & IFF_UP;
        if (ioctl(fd, SIOCGIFADDR, &req) == 0)
            state.address
                = QString::fromLatin1(inet_ntoa(reinterpret_cast<sockaddr_in *>(&req.ifr_addr)->sin_addr));
    }
    close(fd);
    return state;
}

QStringList members(const QList<GprsSimControl::Call> &calls)
{
    QStringList out;
    for (const auto &c : calls)
        out << c.member;
    return out;
}
} // namespace

class TestKavloStandIn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Never run ifconfig against the machine's own network.
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY(ifState(Iface).exists);
        Dl_info info;
        QVERIFY(dladdr(reinterpret_cast<void *>(&mms_init), &info));
        QVERIFY2(QByteArray(info.dli_fname).contains("platform/kavlo/"), info.dli_fname);
        // The premise of the library's callback reaching Qt code at all.
        QVERIFY(QAbstractEventDispatcher::instance()->inherits("QEventDispatcherGlib"));
    }

    void init()
    {
        QVERIFY(m_sim.reset());
        QVERIFY(m_sim.setContextProperty("NetIF", Iface));
        QVERIFY(m_sim.setContextProperty("PDPAddress", "10.1.2.3"));
        QVERIFY(m_sim.setContextProperty("PDNSAddress", "10.0.0.53"));
        QVERIFY(m_sim.setContextProperty("SDNSAddress", "10.0.0.54"));
        QCOMPARE(QProcess::execute("ip", { "addr", "flush", "dev", Iface }), 0);
        QCOMPARE(QProcess::execute("ip", { "link", "set", Iface, "down" }), 0);
    }

    // A real open whose callback arrives through the Qt event loop, then
    // closes: each one answered once, even with nothing open.
    void openThenClose()
    {
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        QVERIFY(c.closeConnection()); // the stand-in has no callback yet: nothing to report to

        QVERIFY(c.openConnection("mms.example", "alice", "s3cret"));
        QCOMPARE(established.count(), 0); // never from inside the call
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(c.interfaceName(), QStringLiteral("gprs0"));
        QCOMPARE(c.ipAddress(), QStringLiteral("10.1.2.3"));
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.0.0.53"));
        QCOMPARE(c.secondaryDNS(), QStringLiteral("10.0.0.54"));
        const IfState state = ifState(Iface);
        QVERIFY(state.up);
        QCOMPARE(state.address, QStringLiteral("10.1.2.3"));
        QCOMPARE(
            m_sim.calls("QuickConnect").at(0).args, QStringList({ "mms.example", "IP", "alice", "s3cret" }));
        QStringList read;
        for (const auto &get : m_sim.calls("Get"))
            read << get.args.join(' ');
        const QString ctx = "com.orvel.quelm.GPRS.Context ";
        QCOMPARE(read,
            QStringList({ ctx + "PDPAddress", ctx + "PDNSAddress", ctx + "SDNSAddress", ctx + "NetIF" }));
        const QString context = m_sim.calls("Get").at(0).path;

        for (int close = 1; close <= 2; ++close) { // the second finds it closed already
            QVERIFY(c.closeConnection());
            QCOMPARE(established.count(), close);
            QVERIFY(established.wait(Wait));
            QCOMPARE(established.count(), close + 1);
            QCOMPARE(established.at(close).at(0).toInt(), 1);
        }
        QVERIFY(!ifState(Iface).up);
        QCOMPARE(m_sim.calls("Delete").count(), 1);
        QCOMPARE(m_sim.calls("Delete").at(0).path, context);
        QCOMPARE(c.ipAddress(), QStringLiteral("10.1.2.3")); // kept after the close
        QCOMPARE(gone.count(), 0);

        // And again on the same object.
        QVERIFY(c.openConnection("mms.example", "", ""));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.at(3).at(0).toInt(), 0);
        QVERIFY(c.closeConnection());
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 5);
        QCOMPARE(established.at(4).at(0).toInt(), 1);
    }

    // The service's Detached is a lost connection. (A secondary DNS the
    // context lacks is no reason to fail the open.)
    void detachedWhileUp()
    {
        QVERIFY(m_sim.omitProperty("SDNSAddress"));
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection("mms", "", ""));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        QCOMPARE(c.primaryDNS(), QStringLiteral("10.0.0.53"));
        QCOMPARE(c.secondaryDNS(), QString(""));

        QVERIFY(m_sim.emitDetached());
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 2);
        QCOMPARE(established.at(1).at(0).toInt(), 1);
        QVERIFY(!ifState(Iface).up);
    }

    void openFails_data()
    {
        // "fail MEMBER": its next call fails; "omit NAME": the property cannot
        // be read; "set NAME VALUE": the property has that value.
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("deleted"); // the context is deleted again

        QTest::newRow("QuickConnect refused") << "fail QuickConnect" << false;
        QTest::newRow("address unreadable") << "omit PDPAddress" << true;
        QTest::newRow("interface unreadable") << "omit NetIF" << true;
        QTest::newRow("shell text in interface") << "set NetIF gprs0;touch /tmp/kavlo-pwned" << true;
        QTest::newRow("interface as an option") << "set NetIF -a" << true;
        QTest::newRow("interface name too long") << "set NetIF gprs0gprs0gprs0gprs0" << true;
        // ifconfig itself would take these two and configure gprs0.
        QTest::newRow("host name for address") << "set PDPAddress localhost" << true;
        QTest::newRow("alias for interface") << "set NetIF gprs0:1" << true;
        QTest::newRow("address with more words") << "set PDPAddress 10.1.2.3 netmask 255.0.0.0" << true;
        QTest::newRow("address too long") << "set PDPAddress " + QString(60, '1') << true;
        QTest::newRow("DNS not an address") << "set PDNSAddress dns.example" << true;
        QTest::newRow("no such interface") << "set NetIF nosuch0" << true;
    }

    void openFails()
    {
        QFETCH(QString, script);
        QFETCH(bool, deleted);
        const QString verb = script.section(' ', 0, 0), name = script.section(' ', 1, 1);
        if (verb == "fail")
            QVERIFY(m_sim.failNext(name, "com.orvel.quelm.GPRS.Error.Failed"));
        else if (verb == "omit")
            QVERIFY(m_sim.omitProperty(name));
        else
            QVERIFY(m_sim.setContextProperty(name, script.section(' ', 2)));

        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QVERIFY(c.openConnection("mms", "", ""));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);
        QCOMPARE(c.ipAddress(), QString());
        const IfState state = ifState(Iface);
        QVERIFY(!state.up);
        QCOMPARE(state.address, QString());
        QVERIFY(!QFile::exists("/tmp/kavlo-pwned"));
        if (deleted)
            QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        else
            QCOMPARE(m_sim.calls("Get").count(), 0);
    }

    // An open in progress refuses a second one, and a close cuts it short.
    void closeWhileConnecting()
    {
        QVERIFY(m_sim.holdNext("QuickConnect", -1));
        DebugFlag debug(true);
        MmsConnectionNetImpl c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        LogCapture log;
        QVERIFY(c.openConnection("mms", "", ""));
        QVERIFY(!c.openConnection("mms", "", ""));
        QCOMPARE(log.matching("mms_connect returned:"),
            QStringList(
                { "D: [LIBTARNEX] mms_connect returned: 0", "D: [LIBTARNEX] mms_connect returned: -16" }));
        QVERIFY(m_sim.waitForCalls("QuickConnect", 1, Wait));
        QVERIFY(c.closeConnection());
        QCOMPARE(established.count(), 0);
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.count(), 1);
        QCOMPARE(established.at(0).at(0).toInt(), 1);

        // The context the service makes after all is not left behind. The
        // library sends that Delete from its handling of the late answer, so
        // by now that answer has been dealt with, without a callback.
        QVERIFY(m_sim.releaseHeld());
        QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        QCOMPARE(members(m_sim.calls()), QStringList({ "QuickConnect", "Delete" }));
        QCOMPARE(established.count(), 1);
    }

    void destroyedWhileUp()
    {
        auto c = std::make_unique<MmsConnectionNetImpl>();
        QSignalSpy established(c.get(), SIGNAL(connectionEstablished(int)));
        QVERIFY(c->openConnection("mms", "", ""));
        QVERIFY(established.wait(Wait));
        QCOMPARE(established.at(0).at(0).toInt(), 0);
        c.reset();
        QVERIFY(m_sim.waitForCalls("Delete", 1, Wait));
        QTRY_VERIFY_WITH_TIMEOUT(!ifState(Iface).up, Wait);
    }

private:
    GprsSimControl m_sim;
};

QTEST_GUILESS_MAIN(TestKavloStandIn)
#include "tst_kavlostandin.moc"
