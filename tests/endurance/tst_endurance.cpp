// Long runs in one process, each round checked: connection open/close cycles
// and transfers byte for byte. Once warmed up, nothing a long-lived process
// could leak may grow. Short in the suite; TARNEX_ENDURANCE=full (make
// endurance) runs 1000 cycles and 5000 transfers.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <malloc.h>
#include <memory>
#include <unistd.h>

#include "faketools.h"
#include "gprssimcontrol.h"
#include "mmsconnectionimpl.h"
#include "netnsguard.h"
#include "transfer.h"

namespace {
struct Resources
{
    qint64 heap = 0; // bytes malloc has handed out and not got back
    int fds = 0, children = 0, matchRules = -1, objects = 0;
};

Resources count(const QObject *root)
{
    Resources r;
    // The bus first: its first use starts Qt's D-Bus thread and descriptors.
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus.Debug.Stats"),
        QStringLiteral("GetConnectionStats"));
    call << bus.baseService();
    const QDBusReply<QVariantMap> stats = bus.call(call);
    if (stats.isValid())
        r.matchRules = stats.value().value(QStringLiteral("MatchRules")).toInt();
    const struct mallinfo2 m = mallinfo2();
    r.heap = qint64(m.uordblks + m.hblkhd);
    r.fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    const QByteArray self = QByteArray::number(qint64(getpid()));
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!entry.at(0).isDigit() || !stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        if (line.mid(line.lastIndexOf(')') + 2).split(' ').value(1) == self)
            ++r.children;
    }
    r.objects = root->findChildren<QObject *>().size();
    return r;
}
} // namespace

class tst_Endurance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    GprsSimControl m_sim;
    FakeTools m_tools;
    QProcess m_server;
    quint16 m_port = 0;

    Resources settle(const QObject *root)
    {
        // The simulator's and the tools' call logs are the test's, not the library's.
        m_sim.reset();
        m_tools.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return count(root);
    }

    // `round` runs `full` or `quick` times; from the end of the warm-up on,
    // nothing may grow (the heap only under glibc's own allocator: under a
    // sanitizer or valgrind, leaks are theirs to find).
    void withoutGrowth(const QObject *root, int full, int quick, const std::function<bool(int)> &round)
    {
        const int total = qgetenv("TARNEX_ENDURANCE") == "full" ? full : quick;
        Resources before;
        for (int i = 0; i < total; ++i) {
            if (i == total / 5)
                before = settle(root);
            QVERIFY2(round(i), qPrintable(QStringLiteral("round %1").arg(i)));
        }
        const Resources after = settle(root);
        QVERIFY(before.matchRules >= 0);
        QCOMPARE(after.fds, before.fds);
        QCOMPARE(after.children, before.children);
        QCOMPARE(after.matchRules, before.matchRules);
        QCOMPARE(after.objects, before.objects);
#if !defined(__SANITIZE_ADDRESS__)
        if (mallinfo2().uordblks > 0 && qEnvironmentVariableIsEmpty("TARNEX_UNDER_VALGRIND"))
            QVERIFY2(after.heap - before.heap < 64 * 1024,
                qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after.heap - before.heap)));
#endif
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        QVERIFY(m_home.isValid() && m_tools.isValid() && m_sim.reset());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        // The transfers' server runs apart, so that what it keeps does not count.
        m_server.start(QStringLiteral(ENDURANCE_SERVER), QStringList());
        while (!m_server.canReadLine())
            QVERIFY(m_server.waitForReadyRead(20000));
        m_port = quint16(m_server.readLine().mid(6).trimmed().toUInt()); // "ready PORT"
        QVERIFY(m_port);
    }

    void cleanupTestCase()
    {
        m_server.kill();
        m_server.waitForFinished();
    }

    // Every other cycle on an object of its own, whose status wrapper's match
    // rules and D-Bus objects must go with it.
    void connectionCycles()
    {
        MmsConnectionImpl shared;
        withoutGrowth(&shared, 1000, 30, [&](int i) {
            std::unique_ptr<MmsConnectionImpl> own(i % 2 ? new MmsConnectionImpl : nullptr);
            MmsConnectionImpl &c = own ? *own : shared;
            QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
            return c.openConnection(QStringLiteral("mms"), QStringLiteral("user"), QStringLiteral("s3cret"))
                && established.wait(20000) && established.count() == 1 && established.at(0).at(0).toInt() == 0
                && c.interfaceName() == QLatin1String("gprs0") && c.closeConnection();
        });
    }

    // One row per HTTP client.
    void transfers_data()
    {
        addKindColumns();
        QTest::newRow("MmsSender") << true << false;
        QTest::newRow("MmsReceiverNM") << false << true;
    }
    void transfers()
    {
        QFETCH(bool, send);
        QFETCH(bool, nm);
        QByteArray blob; // the server's body pattern
        for (int i = 0; i < 1100; ++i)
            blob += char((i * 131 + 7) & 0xff);
        const std::unique_ptr<QObject> t(createTransfer(send, nm));
        QBuffer pdu;
        pdu.setData(QByteArray(3000, 'p'));
        QVERIFY(pdu.open(QIODevice::ReadOnly));
        withoutGrowth(t.get(), 2500, 100, [&](int i) {
            QSignalSpy done(t.get(), send ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)));
            Device out;
            const int size = 1000 + i % 64;
            if (send) {
                auto *s = static_cast<MmsSenderBase *>(t.get());
                s->setMmsc(QStringLiteral("http://127.0.0.1/sink?n=%1").arg(i));
                s->setMmscPort(m_port);
                pdu.seek(0);
                s->startMmsSend(&pdu, &out);
            } else {
                static_cast<MmsReceiverBase *>(t.get())->downloadMms(
                    QStringLiteral("http://127.0.0.1:%1/blob/%2").arg(m_port).arg(size), &out);
            }
            return done.wait(20000) && done.count() == 1 && done.at(0).at(0).toInt() == 200
                && out.data() == (send ? QByteArray("0123456789abcdef") : blob.left(size));
        });
    }
};

QTEST_GUILESS_MAIN(tst_Endurance)
#include "tst_endurance.moc"
