// The MMSC simulator as a handset meets it: real HTTP over loopback to the
// real program, raw requests in, raw answers decoded with the PDU codec.
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "mmspdu.h"

namespace {

const QByteArray kMms = "application/vnd.wap.mms-message";

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// Reads one answer; every answer of the simulator has a Content-Length.
Answer readAnswer(QTcpSocket &s)
{
    QByteArray in;
    int end;
    while ((end = in.indexOf("\r\n\r\n")) < 0 && s.waitForReadyRead(10000))
        in += s.readAll();
    const QByteArray head = in.left(end + 2);
    const int length = head.mid(head.indexOf("\r\nContent-Length: ") + 18).split('\r').first().toInt();
    while (end >= 0 && in.size() < end + 4 + length && s.waitForReadyRead(10000))
        in += s.readAll();
    return end < 0 ? Answer() : Answer { head.mid(9, 3).toInt(), head, in.mid(end + 4, length) };
}

QByteArray post(const QByteArray &target, const QByteArray &body, const QByteArray &type = kMms)
{
    return "POST " + target + " HTTP/1.1\r\nHost: mmsc\r\nContent-Type: " + type
        + "\r\nUser-Agent: TestHandset/1.0\r\nx-wap-profile: "
          "http://uaprof.example.com/t.xml\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: mmsc\r\n\r\n";
}

MmsPdu decoded(const Answer &a)
{
    MmsPdu p;
    p.decode(a.body); // an undecodable answer shows as a wrong message type
    return p;
}

} // namespace

class TestMmscSim : public QObject
{
    Q_OBJECT

public:
    TestMmscSim()
    {
        m_sim.start(QStringLiteral(MMSC_SIM),
            QString::fromLatin1("--listen 127.0.0.1 --port 0 --proxy-port 0 --store").split(' ')
                << m_dir.path());
        while (!m_log.contains('\n') && m_sim.waitForReadyRead(10000))
            m_log += m_sim.readAllStandardOutput();
        // "ready port=N proxy-port=M"
        const QList<QByteArray> words = m_log.left(m_log.indexOf('\n')).split(' ');
        m_port = words.value(1).mid(5).toUShort();
        m_proxyPort = words.value(2).mid(11).toUShort();
    }
    ~TestMmscSim()
    {
        m_sim.kill();
        m_sim.waitForFinished(5000);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_port && m_proxyPort && !m_sample.isEmpty()); }

    void sendRetrieveAndProxyForm()
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(s.waitForConnected(5000));
        s.write(post("/mms", m_sample));
        const Answer a = readAnswer(s);
        QCOMPARE(a.status, 200);
        QVERIFY(a.head.contains("\r\nContent-Type: " + kMms + "\r\n"));
        const MmsPdu conf = decoded(a);
        QCOMPARE(conf.messageType(), int(MmsPdu::SendConf));
        QCOMPARE(conf.transactionId(), QByteArray("demo-0001"));
        QCOMPARE(conf.responseStatus(), int(MmsPdu::Ok));
        const QByteArray url = conf.contentLocation();
        QVERIFY2(url.startsWith("http://mmsc:" + QByteArray::number(m_port) + "/mms/"), url.constData());

        // The download on the same, kept-alive connection.
        s.write(get(url.mid(url.indexOf("/mms/"))));
        const Answer g = readAnswer(s);
        QCOMPARE(g.status, 200);
        const MmsPdu rc = decoded(g);
        QCOMPARE(rc.messageType(), int(MmsPdu::RetrieveConf));
        QCOMPARE(rc.messageId(), conf.messageId());
        QCOMPARE(rc.from(), QStringLiteral("+15555550100/TYPE=PLMN")); // inserted for the sender
        MmsPdu sent;
        QVERIFY(sent.decode(m_sample));
        QCOMPARE(rc.contentTypeRaw, sent.contentTypeRaw);
        QCOMPARE(rc.body, sent.body);
        QVERIFY(!rc.has(MmsPdu::Store)); // a send-only field is not delivered

        // What was received and what is served are on disk as they went.
        const QString stem = m_dir.filePath(QString::fromLatin1(conf.messageId()));
        QCOMPARE(readFile(stem + QStringLiteral(".req")), m_sample);
        QCOMPARE(readFile(stem + QStringLiteral(".mms")), g.body);
        QTRY_VERIFY((m_log += m_sim.readAllStandardOutput()).contains("User-Agent: TestHandset/1.0"));
        QVERIFY(m_log.contains("x-wap-profile: http://uaprof.example.com/t.xml"));

        // On the proxy port the absolute form is wanted, as a WAP proxy wants it.
        QCOMPARE(exchange(get(url), m_proxyPort).body, g.body);
        QCOMPARE(exchange(get(url.mid(url.indexOf("/mms/"))), m_proxyPort).status, 400);
        const QByteArray absolute = "http://mmsc:" + QByteArray::number(m_port) + "/mms";
        QCOMPARE(decoded(exchange(post(absolute, m_sample), m_proxyPort)).responseStatus(), int(MmsPdu::Ok));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("wrong content type") << post("/mms", m_sample, "text/plain") << 415;
        QTest::newRow("unknown message") << get("/mms/nope") << 404;
        QTest::newRow("POST without length") << QByteArray("POST /mms HTTP/1.1\r\n\r\n") << 411;
        QTest::newRow("bad length") << QByteArray("POST /mms HTTP/1.1\r\nContent-Length: -5\r\n\r\n") << 400;
        QTest::newRow("too large") << QByteArray("POST /mms HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
                                   << 413;
        QTest::newRow("bad request line") << QByteArray("POST\r\n\r\n") << 400;
    }
    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QCOMPARE(exchange(request).status, status);
    }

    // A bad PDU gets an error m-send-conf and is not stored.
    void badPdus_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("tid");
        QTest::newRow("cut in the body")
            << m_sample.left(m_sample.size() - 10) << int(MmsPdu::ErrorMessageFormatCorrupt) << QByteArray();
        MmsPdu pdu;
        pdu.decode(m_sample);
        pdu.setMessageType(MmsPdu::RetrieveConf);
        QTest::newRow("not a send-req")
            << pdu.encode() << int(MmsPdu::ErrorUnsupportedMessage) << QByteArray("demo-0001");
    }
    void badPdus()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, tid);
        const uint stored = QDir(m_dir.path()).count();
        const Answer a = exchange(post("/mms", body));
        QCOMPARE(a.status, 200);
        const MmsPdu conf = decoded(a);
        QCOMPARE(conf.messageType(), int(MmsPdu::SendConf));
        QCOMPARE(conf.responseStatus(), status);
        QCOMPARE(conf.transactionId(), tid);
        QVERIFY(!conf.has(MmsPdu::MessageId));
        QCOMPARE(QDir(m_dir.path()).count(), stored);
    }

private:
    // One request on a fresh connection.
    Answer exchange(const QByteArray &request, quint16 port = 0)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port ? port : m_port);
        s.write(request); // sent once connected; a failed connection shows as status 0
        return readAnswer(s);
    }

    const QByteArray m_sample = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
    QTemporaryDir m_dir;
    QProcess m_sim;
    QByteArray m_log;
    quint16 m_port = 0;
    quint16 m_proxyPort = 0;
};

QTEST_GUILESS_MAIN(TestMmscSim)
#include "tst_mmscsim.moc"
