// The MMSC simulator as a handset meets it: real HTTP over loopback to the
// real program, raw requests in, raw answers decoded with the PDU codec.
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "mmspdu.h"

namespace {

const QByteArray kMms = "application/vnd.wap.mms-message";

QByteArray sample()
{
    QFile f(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0 && qstricmp(line.left(colon).constData(), name.constData()) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }
};

// Reads one answer with a Content-Length body from the socket.
Answer readAnswer(QTcpSocket &s, QByteArray &buffer)
{
    Answer a;
    QElapsedTimer t;
    t.start();
    int headEnd = -1;
    while ((headEnd = buffer.indexOf("\r\n\r\n")) < 0 && t.elapsed() < 10000) {
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState)
            break;
        buffer += s.readAll();
    }
    if (headEnd < 0)
        return a;
    a.head = buffer.left(headEnd);
    buffer.remove(0, headEnd + 4);
    a.status = a.head.mid(9, 3).toInt();
    const int len = a.header("Content-Length").toInt();
    while (buffer.size() < len && t.elapsed() < 10000) {
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState)
            break;
        buffer += s.readAll();
    }
    a.body = buffer.left(len);
    buffer.remove(0, len);
    return a;
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

class Sim
{
public:
    explicit Sim(const QStringList &extra = {})
    {
        m_proc.setProcessChannelMode(QProcess::SeparateChannels);
        m_proc.start(QStringLiteral(MMSC_SIM),
            QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                QStringLiteral("0"), QStringLiteral("--proxy-port"), QStringLiteral("0"),
                QStringLiteral("--store"), m_dir.path() }
                + extra);
        QElapsedTimer t;
        t.start();
        while (!m_log.contains("ready") && t.elapsed() < 10000) {
            m_proc.waitForReadyRead(200);
            m_log += m_proc.readAllStandardOutput();
        }
        const QByteArray ready = m_log.mid(m_log.indexOf("ready"));
        const QList<QByteArray> words = ready.left(ready.indexOf('\n')).split(' ');
        for (const QByteArray &w : words) {
            if (w.startsWith("port="))
                port = quint16(w.mid(5).toInt());
            if (w.startsWith("proxy-port="))
                proxyPort = quint16(w.mid(11).toInt());
        }
    }
    ~Sim()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    QByteArray log()
    {
        m_log += m_proc.readAllStandardOutput();
        return m_log;
    }
    QString dir() const { return m_dir.path(); }

    // One request on a fresh connection.
    Answer exchange(const QByteArray &request, quint16 onPort = 0)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, onPort ? onPort : port);
        if (!s.waitForConnected(5000))
            return Answer();
        s.write(request);
        QByteArray buffer;
        return readAnswer(s, buffer);
    }

    quint16 port = 0;
    quint16 proxyPort = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_proc;
    QByteArray m_log;
};

MmsPdu decoded(const Answer &a)
{
    MmsPdu p;
    QString error;
    if (!p.decode(a.body, &error))
        qWarning("undecodable answer: %s", qPrintable(error));
    return p;
}

QByteArray pathOf(const QByteArray &url)
{
    return QUrl::fromEncoded(url).path().toLatin1();
}

} // namespace

class TestMmscSim : public QObject
{
    Q_OBJECT

    Sim *m_shared = nullptr;

private Q_SLOTS:
    void initTestCase() { m_shared = new Sim; }
    void cleanupTestCase() { delete m_shared; }

    void sendThenRetrieve()
    {
        Sim sim;
        QVERIFY(sim.port);
        const QByteArray req = sample();
        Answer a = sim.exchange(post("/mms", req));
        QCOMPARE(a.status, 200);
        QCOMPARE(a.header("Content-Type"), kMms);
        MmsPdu conf = decoded(a);
        QCOMPARE(conf.messageType(), int(MmsPdu::SendConf));
        QCOMPARE(conf.transactionId(), QByteArray("demo-0001"));
        QCOMPARE(conf.versionText(), QStringLiteral("1.2"));
        QCOMPARE(conf.responseStatus(), int(MmsPdu::Ok));
        QVERIFY(!conf.messageId().isEmpty());
        QCOMPARE(conf.octetField(MmsPdu::StoreStatus), 0x80);
        const QByteArray url = conf.contentLocation();
        QVERIFY2(url.startsWith("http://mmsc:" + QByteArray::number(sim.port) + "/mms/"), url.constData());

        Answer g = sim.exchange(get(pathOf(url)));
        QCOMPARE(g.status, 200);
        QCOMPARE(g.header("Content-Type"), kMms);
        MmsPdu rc = decoded(g);
        QCOMPARE(rc.messageType(), int(MmsPdu::RetrieveConf));
        QCOMPARE(rc.messageId(), conf.messageId());
        QCOMPARE(rc.from(), QStringLiteral("+15555550100/TYPE=PLMN")); // inserted for the sender
        MmsPdu sent;
        QVERIFY(sent.decode(req));
        QCOMPARE(rc.addresses(MmsPdu::To), sent.addresses(MmsPdu::To));
        QCOMPARE(rc.subject(), sent.subject());
        QCOMPARE(rc.date(), sent.date());
        QCOMPARE(rc.contentTypeRaw, sent.contentTypeRaw);
        QCOMPARE(rc.body, sent.body);
        QVERIFY(!rc.has(MmsPdu::Store)); // a send-only field is not delivered

        // What was received and what is served are on disk as they went.
        QFile in(
            sim.dir() + QLatin1Char('/') + QString::fromLatin1(conf.messageId()) + QStringLiteral(".req"));
        QFile out(
            sim.dir() + QLatin1Char('/') + QString::fromLatin1(conf.messageId()) + QStringLiteral(".mms"));
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), req);
        QCOMPARE(out.readAll(), g.body);

        // Request line and identity headers are in the log.
        QTRY_VERIFY(sim.log().contains("POST /mms HTTP/1.1"));
        QVERIFY(sim.log().contains("User-Agent: TestHandset/1.0"));
        QVERIFY(sim.log().contains("x-wap-profile: http://uaprof.example.com/t.xml"));
    }

    void keepAliveAndProxyForm()
    {
        Sim sim;
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, sim.port);
        QVERIFY(s.waitForConnected(5000));
        QByteArray buffer;
        s.write(post("/mms", sample()));
        Answer a = readAnswer(s, buffer);
        QCOMPARE(a.status, 200);
        const QByteArray url = decoded(a).contentLocation();
        s.write(get(pathOf(url)));
        Answer g = readAnswer(s, buffer);
        QCOMPARE(g.status, 200);
        QCOMPARE(decoded(g).messageType(), int(MmsPdu::RetrieveConf));

        // On the proxy port the absolute form is wanted, as a WAP proxy wants it.
        Answer viaProxy = sim.exchange("GET " + url + " HTTP/1.1\r\nHost: mmsc\r\n\r\n", sim.proxyPort);
        QCOMPARE(viaProxy.status, 200);
        QCOMPARE(viaProxy.body, g.body);
        QCOMPARE(sim.exchange(get(pathOf(url)), sim.proxyPort).status, 400);
        Answer postViaProxy = sim.exchange(
            post("http://mmsc:" + QByteArray::number(sim.port) + "/mms", sample()), sim.proxyPort);
        QCOMPARE(decoded(postViaProxy).responseStatus(), int(MmsPdu::Ok));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("wrong content type") << post("/mms", sample(), "text/plain") << 415;
        QTest::newRow("wrong path") << post("/other", sample()) << 404;
        QTest::newRow("unknown message") << get("/mms/nope") << 404;
        QTest::newRow("message list") << get("/mms/") << 404;
        QTest::newRow("PUT") << QByteArray("PUT /mms HTTP/1.1\r\nContent-Length: 0\r\n\r\n") << 405;
        QTest::newRow("POST without length")
            << QByteArray("POST /mms HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n\r\n")
            << 411;
        QTest::newRow("chunked POST")
            << QByteArray("POST /mms HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n") << 411;
        QTest::newRow("bad length") << QByteArray("POST /mms HTTP/1.1\r\nContent-Length: -5\r\n\r\n") << 400;
        QTest::newRow("too large") << QByteArray("POST /mms HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
                                   << 413;
        QTest::newRow("bad request line") << QByteArray("POST\r\n\r\n") << 400;
        QTest::newRow("asterisk target") << QByteArray("GET * HTTP/1.1\r\n\r\n") << 400;
    }
    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QCOMPARE(m_shared->exchange(request).status, status);
    }

    void badPdusGetErrorConfs_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("tid");
        const QByteArray req = sample();
        QTest::newRow("garbage") << QByteArray("garbage") << int(MmsPdu::ErrorMessageFormatCorrupt)
                                 << QByteArray();
        QTest::newRow("cut in the body")
            << req.left(req.size() - 10) << int(MmsPdu::ErrorMessageFormatCorrupt) << QByteArray();
        MmsPdu noTo;
        noTo.decode(req);
        noTo.remove(MmsPdu::To);
        QTest::newRow("no recipient")
            << noTo.encode() << int(MmsPdu::ErrorMessageFormatCorrupt) << QByteArray("demo-0001");
        MmsPdu retrieve;
        retrieve.decode(req);
        retrieve.setMessageType(MmsPdu::RetrieveConf);
        QTest::newRow("not a send-req")
            << retrieve.encode() << int(MmsPdu::ErrorUnsupportedMessage) << QByteArray("demo-0001");
    }
    void badPdusGetErrorConfs()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, tid);
        Sim sim;
        Answer a = sim.exchange(post("/mms", body));
        QCOMPARE(a.status, 200);
        MmsPdu conf = decoded(a);
        QCOMPARE(conf.messageType(), int(MmsPdu::SendConf));
        QCOMPARE(conf.responseStatus(), status);
        QCOMPARE(conf.transactionId(), tid);
        QVERIFY(!conf.responseText().isEmpty());
        QVERIFY(!conf.has(MmsPdu::MessageId));
        QVERIFY(QDir(sim.dir()).entryList(QDir::Files).isEmpty());
    }

    void forcedAnswers()
    {
        Sim denied({ QStringLiteral("--status"), QStringLiteral("0x82") });
        MmsPdu conf = decoded(denied.exchange(post("/mms", sample())));
        QCOMPARE(conf.responseStatus(), int(MmsPdu::ErrorServiceDenied));
        QCOMPARE(conf.transactionId(), QByteArray("demo-0001"));
        QVERIFY(!conf.has(MmsPdu::ContentLocation));

        Sim broken({ QStringLiteral("--http-status"), QStringLiteral("503") });
        QCOMPARE(broken.exchange(post("/mms", sample())).status, 503);
    }
};

QTEST_GUILESS_MAIN(TestMmscSim)
#include "tst_mmscsim.moc"
