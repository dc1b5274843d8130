// The MMSC simulator against requests no handset sends: real HTTP over
// loopback to the real program, raw answers decoded with the PDU codec. Its
// round trips, direct and through its proxy port, are the demo's (demo,
// demo_proxy).
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
    return end < 0 ? Answer() : Answer { head.mid(9, 3).toInt(), in.mid(end + 4, length) };
}

QByteArray post(const QByteArray &target, const QByteArray &body, const QByteArray &type = kMms)
{
    return "POST " + target + " HTTP/1.1\r\nHost: mmsc\r\nContent-Type: " + type
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
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
        QByteArray ready;
        while (!ready.contains('\n') && m_sim.waitForReadyRead(10000))
            ready += m_sim.readAllStandardOutput();
        // "ready port=N proxy-port=M"
        m_port = ready.left(ready.indexOf('\n')).split(' ').value(1).mid(5).toUShort();
    }
    ~TestMmscSim()
    {
        m_sim.kill();
        m_sim.waitForFinished(5000);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_port && !m_sample.isEmpty()); }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("wrong content type") << post("/mms", m_sample, "text/plain") << 415;
        QTest::newRow("unknown message") << QByteArray("GET /mms/nope HTTP/1.1\r\nHost: mmsc\r\n\r\n") << 404;
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
    Answer exchange(const QByteArray &request)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        s.write(request); // sent once connected; a failed connection shows as status 0
        return readAnswer(s);
    }

    const QByteArray m_sample = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
    QTemporaryDir m_dir;
    QProcess m_sim;
    quint16 m_port = 0;
};

QTEST_GUILESS_MAIN(TestMmscSim)
#include "tst_mmscsim.moc"
