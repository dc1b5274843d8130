// The demo client against the MMSC simulator on loopback, with no connection
// to open: each way a round trip can go wrong ends in its own exit status and
// message, never in a hang. The round trips themselves, byte for byte, are
// the demo script's (demo, demo_proxy, demo_addresses).
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Sim
{
public:
    explicit Sim(const QStringList &extra = {})
    {
        m_proc.start(QStringLiteral(MMSC_SIM),
            words("--listen 127.0.0.1 --port 0 --proxy-port 0 --log") << m_dir.filePath(QStringLiteral(
                "log")) << QStringLiteral("--store") << m_dir.path() << extra);
        QByteArray out;
        while (!out.contains('\n') && m_proc.waitForReadyRead(10000))
            out += m_proc.readAllStandardOutput();
        // "ready port=N proxy-port=M"
        const QList<QByteArray> ready = out.trimmed().split(' ');
        mmsc = QStringLiteral("http://127.0.0.1:%1/mms").arg(QString::fromLatin1(ready.value(1).mid(5)));
    }
    ~Sim()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    QByteArray log() const { return readFile(m_dir.filePath(QStringLiteral("log"))); }

    QString mmsc;

private:
    QTemporaryDir m_dir;
    QProcess m_proc;
};

struct Run
{
    int exitCode = -1;
    QByteArray err;
};

// The client against sim; {MMSC} in args stands for the sim's, and a later --mmsc wins.
Run demo(const Sim &sim, QStringList args)
{
    args.replaceInStrings(QStringLiteral("{MMSC}"), sim.mmsc);
    QProcess p;
    p.start(QStringLiteral(MMS_DEMO), words("--connection none --mmsc") << sim.mmsc << args);
    // The client bounds every wait itself; this only keeps a broken one from holding the suite.
    if (!p.waitForFinished(60000))
        return Run { -1, "mms-demo did not finish within 60 s" };
    return Run { p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
        p.readAllStandardOutput() + p.readAllStandardError() };
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

    void failures_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QStringList>("demoArgs");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("MMSC refuses")
            << words("--status 0x82") << words("") << 5 << QByteArray("Error-service-denied");
        QTest::newRow("MMSC fails") << words("--http-status 503") << words("") << 4 << QByteArray("HTTP 503");
        QTest::newRow("connection refused") << words("") << words("--mmsc http://127.0.0.1:9/mms") << 4
                                            << QByteArray("3 (ConnectionRefused)");
        QTest::newRow("upload stalls (socket)")
            << words("--stall post") << words("") << 4 << QByteArray("no upload progress for 2 s");
        QTest::newRow("download stalls (nm)") << words("--stall get") << words("--transfer nm") << 6
                                              << QByteArray("no download progress for 2 s");
        QTest::newRow("missing message")
            << words("") << words("--url {MMSC}/nope") << 6 << QByteArray("HTTP 404");
        QTest::newRow("not an m-send-req")
            << words("") << (words("--pdu") << QStringLiteral(SAMPLE_DIR "/parts/hello.txt")) << 2
            << QByteArray("is not an m-send-req");
        QTest::newRow("no PDU file") << words("") << words("--pdu /nonexistent") << 2
                                     << QByteArray("cannot read the PDU file");
    }
    void failures()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, demoArgs);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        const Run r = demo(Sim(simArgs), words("--stall-timeout 2") + demoArgs);
        QVERIFY2(r.exitCode == exitCode, r.err);
        QVERIFY2(r.err.contains(message), r.err);
    }

    // The client checks that what comes back is the message it sent.
    void downloadOfAnotherMessage()
    {
        Sim sim;
        QCOMPARE(demo(sim, {}).exitCode, 0);
        const QByteArray log = sim.log();
        const QByteArray url
            = log.mid(log.indexOf(" at http://", log.indexOf("stored as ")) + 4).split('\n').first();
        const Run r = demo(sim, { QStringLiteral("--url"), QString::fromLatin1(url) });
        QVERIFY2(r.exitCode == 7, r.err);
        QVERIFY2(r.err.contains("not \""), r.err);
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestMmsDemo)
#include "tst_mmsdemo.moc"
