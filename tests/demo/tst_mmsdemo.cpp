// The demo client against the MMSC simulator on loopback, with no connection
// to open: every transfer variant, and each way a round trip can go wrong
// ending in its own exit status and message, never in a hang.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class Sim
{
public:
    explicit Sim(const QStringList &extra = {})
    {
        m_proc.start(QStringLiteral(MMSC_SIM),
            QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                QStringLiteral("0"), QStringLiteral("--proxy-port"), QStringLiteral("0"),
                QStringLiteral("--store"), m_dir.path(), QStringLiteral("--log"),
                m_dir.filePath(QStringLiteral("log")) }
                + extra);
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (!out.contains('\n') && t.elapsed() < 10000) {
            m_proc.waitForReadyRead(200);
            out += m_proc.readAllStandardOutput();
        }
        for (const QByteArray &w : out.trimmed().split(' ')) {
            if (w.startsWith("port="))
                port = w.mid(5).toInt();
            if (w.startsWith("proxy-port="))
                proxyPort = w.mid(11).toInt();
        }
    }
    ~Sim()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    QString mmsc() const { return QStringLiteral("http://127.0.0.1:%1/mms").arg(port); }
    QByteArray log() const
    {
        QFile f(m_dir.filePath(QStringLiteral("log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QByteArray stored(const QString &suffix) const
    {
        const QStringList files
            = QDir(m_dir.path()).entryList({ QStringLiteral("*") + suffix }, QDir::Files, QDir::Time);
        if (files.isEmpty())
            return QByteArray();
        QFile f(m_dir.filePath(files.first()));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    int port = 0;
    int proxyPort = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_proc;
};

Run demo(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(MMS_DEMO),
        QStringList { QStringLiteral("--connection"), QStringLiteral("none") } + args);
    Run r;
    // The client bounds every wait itself; this limit only keeps a broken
    // client from holding the suite.
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "mms-demo did not finish within 60 s";
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestMmsDemo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The library's default identity, whatever this user's ~/.mms holds.
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toLocal8Bit());
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("transfer");
        QTest::addColumn<bool>("proxy");
        QTest::newRow("socket") << QStringLiteral("socket") << false;
        QTest::newRow("nm") << QStringLiteral("nm") << false;
        QTest::newRow("socket via proxy") << QStringLiteral("socket") << true;
        QTest::newRow("nm via proxy") << QStringLiteral("nm") << true;
    }
    void roundTrip()
    {
        QFETCH(QString, transfer);
        QFETCH(bool, proxy);
        Sim sim;
        QVERIFY(sim.port > 0);
        QTemporaryDir dir;
        const QString saved = dir.filePath(QStringLiteral("download.mms"));
        QStringList args { QStringLiteral("--transfer"), transfer, QStringLiteral("--mmsc"), sim.mmsc(),
            QStringLiteral("--save"), saved };
        if (proxy)
            args << QStringLiteral("--proxy") << QStringLiteral("127.0.0.1:%1").arg(sim.proxyPort);
        const Run r = demo(args);
        QVERIFY2(r.exitCode == 0, r.out + r.err);
        QVERIFY(r.out.contains("round trip complete"));
        QVERIFY(r.out.contains("m-send-conf: status Ok (0x80)"));
        QVERIFY(r.out.contains("upload"));
        QVERIFY(r.out.contains("download"));
        // Upload and download byte for byte against what the MMSC keeps.
        QCOMPARE(sim.stored(QStringLiteral(".req")), readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms")));
        QCOMPARE(readFile(saved), sim.stored(QStringLiteral(".mms")));
        // The handset's identity reached the MMSC, through the proxy when one is set.
        QVERIFY(sim.log().contains("User-Agent: "));
        QVERIFY(sim.log().contains("x-wap-profile: "));
        QCOMPARE(sim.log().contains("on the proxy port"), proxy);
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QStringList>("demoArgs");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        const QStringList none;
        QTest::newRow("MMSC refuses") << QStringList { QStringLiteral("--status"), QStringLiteral("0x82") }
                                      << none << 5 << QByteArray("Error-service-denied");
        QTest::newRow("MMSC fails (socket)")
            << QStringList { QStringLiteral("--http-status"), QStringLiteral("503") } << none << 4
            << QByteArray("HTTP 503");
        QTest::newRow("MMSC fails (nm)")
            << QStringList { QStringLiteral("--http-status"), QStringLiteral("503") }
            << QStringList { QStringLiteral("--transfer"), QStringLiteral("nm") } << 4
            << QByteArray("POST to the MMSC ended with");
        QTest::newRow("upload stalls") << QStringList { QStringLiteral("--stall"), QStringLiteral("post") }
                                       << none << 4 << QByteArray("no upload progress for 2 s");
        QTest::newRow("upload stalls (nm)")
            << QStringList { QStringLiteral("--stall"), QStringLiteral("post") }
            << QStringList { QStringLiteral("--transfer"), QStringLiteral("nm") } << 4
            << QByteArray("no upload progress for 2 s");
        QTest::newRow("download stalls") << QStringList { QStringLiteral("--stall"), QStringLiteral("get") }
                                         << none << 6 << QByteArray("no download progress for 2 s");
        QTest::newRow("download stalls (nm)")
            << QStringList { QStringLiteral("--stall"), QStringLiteral("get") }
            << QStringList { QStringLiteral("--transfer"), QStringLiteral("nm") } << 6
            << QByteArray("no download progress for 2 s");
        QTest::newRow("missing message")
            << none << QStringList { QStringLiteral("--url"), QStringLiteral("MMSC/mms/nope") } << 6
            << QByteArray("HTTP 404");
        QTest::newRow("not an m-send-req")
            << none << QStringList { QStringLiteral("--pdu"), QStringLiteral(SAMPLE_DIR "/parts/hello.txt") }
            << 2 << QByteArray("is not an m-send-req");
        QTest::newRow("no PDU file") << none
                                     << QStringList { QStringLiteral("--pdu"),
                                            QStringLiteral("/nonexistent") }
                                     << 2 << QByteArray("cannot read the PDU file");
        QTest::newRow("bad option") << none
                                    << QStringList { QStringLiteral("--transfer"), QStringLiteral("pigeon") }
                                    << 2 << QByteArray("--transfer wants socket or nm");
    }
    void failures()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, demoArgs);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        Sim sim(simArgs);
        QVERIFY(sim.port > 0);
        for (QString &a : demoArgs)
            a.replace(QLatin1String("MMSC/mms"), sim.mmsc());
        const Run r = demo(QStringList { QStringLiteral("--mmsc"), sim.mmsc(),
                               QStringLiteral("--stall-timeout"), QStringLiteral("2") }
            + demoArgs);
        QVERIFY2(r.exitCode == exitCode, r.out + r.err);
        QVERIFY2(r.err.contains(message), r.err);
    }

    void refusedConnection()
    {
        // Nothing listens on the discard port of loopback.
        const Run r = demo({ QStringLiteral("--mmsc"), QStringLiteral("http://127.0.0.1:9/mms") });
        QVERIFY2(r.exitCode == 4, r.out + r.err);
        QVERIFY2(r.err.contains("3 (ConnectionRefused)"), r.err);
    }

    void downloadOfAnotherMessage()
    {
        // The client checks that what comes back is the message it sent: a
        // download of another stored message is a mismatch.
        Sim sim;
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first.mms"));
        QCOMPARE(demo({ QStringLiteral("--mmsc"), sim.mmsc(), QStringLiteral("--save"), first }).exitCode, 0);
        const QByteArray log = sim.log();
        const int at = log.indexOf("stored as ");
        const QByteArray url = log.mid(log.indexOf(" at http://", at) + 4).split('\n').first();
        const Run r = demo(
            { QStringLiteral("--mmsc"), sim.mmsc(), QStringLiteral("--url"), QString::fromLatin1(url) });
        QVERIFY2(r.exitCode == 7, r.out + r.err);
        QVERIFY2(r.err.contains("not \""), r.err);
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestMmsDemo)
#include "tst_mmsdemo.moc"
