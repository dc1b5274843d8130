// The demo client against the MMSC simulator on loopback, with no connection
// to open: each way a round trip can fail ends in its own exit status, never in
// a success. The round trips themselves are the demo script's (demo*).
#include <QDir>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "mmspdu.h"

namespace {

const QByteArray kMms = "application/vnd.wap.mms-message";

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Sim
{
    explicit Sim(const QStringList &extra = {})
    {
        proc.start(
            QStringLiteral(MMSC_SIM), words("--listen 127.0.0.1 --port 0 --store") << dir.path() << extra);
        QByteArray out; // "ready port=N"
        while (!out.contains('\n') && proc.waitForReadyRead(10000))
            out += proc.readAllStandardOutput();
        port = out.left(out.indexOf('\n')).mid(11).toUShort();
    }
    ~Sim()
    {
        proc.kill();
        proc.waitForFinished(5000);
    }
    // One POST; HTTP/1.0, so the simulator closes once it has answered.
    QByteArray post(const QByteArray &type, const QByteArray &body) const
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        s.write("POST /mms HTTP/1.0\r\nContent-Type: " + type
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        s.waitForDisconnected(10000);
        return s.readAll();
    }
    MmsPdu postedConf(const QByteArray &body) const
    {
        const QByteArray answer = post(kMms, body);
        MmsPdu conf;
        conf.decode(answer.mid(answer.indexOf("\r\n\r\n") + 4)); // undecodable: no status, no location
        return conf;
    }

    QTemporaryDir dir;
    QProcess proc;
    quint16 port = 0;
};

} // namespace

class TestMmsDemo : public QObject
{
    Q_OBJECT

    const QByteArray m_sample = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!m_sample.isEmpty() && m_home.isValid());
        // The library's default identity, whatever this user's ~/.mms holds.
        qputenv("HOME", m_home.path().toLocal8Bit());
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QStringList>("demoArgs");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("upload fails")
            << words("--http-status 503") << words("") << 4 << QByteArray("HTTP 503");
        QTest::newRow("MMSC refuses")
            << words("--status 0x82") << words("") << 5 << QByteArray("Error-service-denied");
        QTest::newRow("download fails")
            << words("") << words("--url {MMSC}/nope") << 6 << QByteArray("HTTP 404");
        QTest::newRow("download of another message")
            << words("") << words("--url {OTHER}") << 7 << QByteArray("not \"");
    }
    void failures()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, demoArgs);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        const Sim sim(simArgs);
        const QString mmsc = QStringLiteral("http://127.0.0.1:%1/mms").arg(sim.port);
        demoArgs.replaceInStrings(QStringLiteral("{MMSC}"), mmsc);
        // A message the simulator holds that the client did not send.
        demoArgs.replaceInStrings(
            QStringLiteral("{OTHER}"), QString::fromLatin1(sim.postedConf(m_sample).contentLocation()));
        QProcess p;
        p.start(QStringLiteral(MMS_DEMO), words("--connection none --mmsc") << mmsc << demoArgs);
        // The client bounds every wait itself; this only keeps a broken one from holding the suite.
        QVERIFY(p.waitForFinished(60000));
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == exitCode, out);
        QVERIFY2(out.contains(message), out);
    }

    // What a faulty client could send must be refused, or the demo would pass it.
    void simulatorRefuses()
    {
        const Sim sim;
        QCOMPARE(sim.post("text/plain", m_sample).left(12), QByteArray("HTTP/1.1 415"));
        QCOMPARE(
            sim.postedConf(m_sample.chopped(10)).responseStatus(), int(MmsPdu::ErrorMessageFormatCorrupt));
        QVERIFY(QDir(sim.dir.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMmsDemo)
#include "tst_mmsdemo.moc"
