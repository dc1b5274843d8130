// The time and size limits of every transfer variant against peers that stall
// or answer too much: a stalled transfer ends once, with its code, soon after
// its limit; one that keeps moving never does; an answer over the size limit
// never leaves more than the limit in the device.
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "httptestserver.h"
#include "logcapture.h"
#include "netnsguard.h"
#include "qhttp.h"
#include "tarnexconfig_p.h"
#include "transfer.h"

namespace {

// Short, so that the table runs fast; longer under valgrind, which slows
// the client as much as the peers that pace it.
const bool Slowed = !qEnvironmentVariableIsEmpty("TARNEX_UNDER_VALGRIND");
const int Limit = Slowed ? 4000 : 400; // ms
const int Late = Slowed ? 10000 : 1000; // how long after the limit a stall may end
const qint64 SizeLimit = 10000;
const QByteArray Body = HttpTestServer::pattern(20000);

// What the library ends a transfer with, by variant.
int timedOutCode(bool nm)
{
    return nm ? int(QNetworkReply::TimeoutError) : int(QHttp::Aborted);
}

void start(Transfer &t, const QString &url, QIODevice *out, const QByteArray &pdu = "pdu")
{
    t.start(url, QUrl(url).port(80), out, pdu);
}

// A loopback port whose connections nobody accepts. Full, it has one
// connection waiting and a backlog of none, so the kernel ignores further
// attempts: a server too busy to complete a connection. Otherwise
// connections complete and what is sent to them stays unread: a peer that
// has stopped reading.
class Unserved
{
public:
    explicit Unserved(bool full)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0
            || ::listen(m_fd, full ? 0 : 4) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        if (full) {
            m_filler.connectToHost(QHostAddress::LocalHost, m_port);
            if (!m_filler.waitForConnected(5000))
                m_port = 0;
        }
    }
    ~Unserved()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QTcpSocket m_filler;
};

// Takes one request, reading at most `piece` bytes every `everyMs`, and
// answers 200 once it has it all: an upload that keeps moving, slowly.
class SlowReader : public QObject
{
public:
    SlowReader(qint64 piece, int everyMs)
        : m_piece(piece)
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_socket = m_server.nextPendingConnection();
            // The rest waits in the client's kernel: what this end takes in
            // has been acknowledged, and after the last acknowledgement the
            // client waits for the answer with nothing moving.
            m_socket->setReadBufferSize(m_piece);
            m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(m_piece));
        });
        connect(&m_tick, &QTimer::timeout, this, &SlowReader::readSome);
        m_tick.start(everyMs);
    }
    quint16 port() const { return m_server.serverPort(); }
    qint64 bodyBytes() const { return m_body; }

private:
    void readSome()
    {
        if (!m_socket || m_answered)
            return;
        QByteArray in = m_socket->read(m_piece);
        if (m_length < 0) {
            m_head += in;
            const int end = m_head.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const int at = m_head.toLower().indexOf("content-length:");
            m_length = m_head.mid(at + 15, m_head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
            in = m_head.mid(end + 4);
        }
        m_body += in.size();
        if (m_body >= m_length) {
            m_answered = true;
            m_socket->write(HttpTestServer::reply(200, "stored"));
        }
    }

    QTcpServer m_server;
    QTimer m_tick;
    QTcpSocket *m_socket = nullptr;
    const qint64 m_piece;
    QByteArray m_head;
    qint64 m_length = -1;
    qint64 m_body = 0;
    bool m_answered = false;
};

// Connections to a loopback `port` that a descriptor of this test holds (one
// let go of may linger in the kernel, owned by none).
int connectionsTo(quint16 port)
{
    const QByteArray remote = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int n = 0;
    for (const char *table : { "/proc/self/net/tcp", "/proc/self/net/tcp6" }) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        f.readLine();
        while (!f.atEnd()) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            const QList<QByteArray> fields = f.readLine().simplified().split(' ');
            if (fields.size() > 9 && fields.at(2).endsWith(remote) && fields.at(9) != "0")
                ++n;
        }
    }
    return n;
}

enum Peer { Server, ServerNeverConnects, ServerNeverReads, PduNeverEnds };

} // namespace

class tst_TransferLimits : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path())); // no settings file: built-in identity
    }

    // Nothing moves from some point on: the transfer ends once, with the
    // variant's code, between the limit and a second after it, the
    // connection closed and what had arrived in the device. The object works
    // again at once.
    void stallEnds_data()
    {
        addKindColumns();
        QTest::addColumn<int>("peer");
        QTest::addColumn<QByteArray>("answered"); // what the server sends before it stalls
        QTest::addColumn<int>("pduSize");
        QTest::addColumn<QByteArray>("inDevice"); // by the socket variants
        const QByteArray whole = HttpTestServer::reply(200, Body);
        const QByteArray head = whole.left(whole.indexOf("\r\n\r\n") + 4);
        const struct
        {
            const char *phase;
            int peer;
            QByteArray answered;
            int pduSize;
            QByteArray inDevice;
            bool sendOnly;
        } phases[] = {
            // One timer for every phase of the answer, direct or through a proxy.
            { "stall mid-body", Server, head + Body.left(10), 3000, Body.left(10), false },
            { "server never completes the connection", ServerNeverConnects, QByteArray(), 3000, QByteArray(),
                false },
            // More than the kernels on both ends hold.
            { "server stops reading the upload", ServerNeverReads, QByteArray(), 32 * 1024 * 1024,
                QByteArray(), true },
            { "PDU stream never ends", PduNeverEnds, QByteArray(), 0, QByteArray(), true },
        };
        for (const auto &p : phases)
            for (const auto &k : Kinds)
                if (k.send || !p.sendOnly)
                    kindRow(k, p.phase) << p.peer << p.answered << p.pduSize << p.inDevice;
    }

    void stallEnds()
    {
        FETCH_TRANSFER(t);
        QFETCH(int, peer);
        QFETCH(QByteArray, answered);
        QFETCH(int, pduSize);
        QFETCH(QByteArray, inDevice);
        HttpTestServer server;
        QVERIFY(server.listen());
        server.enqueue(HttpTestResponse(answered).waitForRelease());
        std::unique_ptr<Unserved> unserved;
        QString url = server.url(QStringLiteral("/mms"));
        if (peer == ServerNeverConnects || peer == ServerNeverReads) {
            unserved.reset(new Unserved(peer != ServerNeverReads));
            QVERIFY(unserved->port());
            url = QStringLiteral("http://127.0.0.1:%1/mms").arg(unserved->port());
        }
        const int unservedBefore = unserved ? connectionsTo(unserved->port()) : 0;
        t.setLimits(Limit);
        LogCapture log;
        Device out;
        QElapsedTimer clock;
        clock.start();
        SilentDevice stuck;
        if (peer == PduNeverEnds) {
            auto *sender = static_cast<MmsSenderBase *>(t.object.get());
            sender->setMmsc(url);
            sender->setMmscPort(server.port());
            sender->startMmsSend(&stuck, &out);
        } else {
            start(t, url, &out, HttpTestServer::pattern(pduSize));
        }
        QVERIFY(t.done.wait(Limit + 10 * Late));
        const qint64 took = clock.elapsed();
        QCOMPARE(t.code(), timedOutCode(nm));
        QVERIFY2(took >= Limit && took < Limit + Late, QByteArray::number(took));
        QCOMPARE(log.lines(QtWarningMsg).filter(QString::number(Limit)).size(), 1);
        QCOMPARE(out.data(), nm ? QByteArray() : inDevice); // the manager's variants store only whole answers
        if (!nm)
            QVERIFY(peer == PduNeverEnds ? t.states.isEmpty()
                                         : t.states.last().at(0).toInt() == QHttp::Unconnected);
        if (peer == Server)
            QVERIFY(server.waitForOpenConnections(0));
        if (unserved) // nothing left trying or holding on
            QTRY_COMPARE(connectionsTo(unserved->port()), unservedBefore);
        if (peer == PduNeverEnds)
            QCOMPARE(server.connectionCount(), 0); // nothing goes out before the whole PDU is in
        if (peer == ServerNeverReads)
            QVERIFY(!t.progress.isEmpty()); // the upload had been moving

        // Reused at once, over the same route; the stalled transfer says nothing more.
        HttpTestServer good;
        QVERIFY(good.listen());
        good.enqueue(HttpTestServer::reply(200, "again"));
        Device again;
        start(t, good.url(QStringLiteral("/mms")), &again);
        QVERIFY(t.done.wait(10000));
        QCOMPARE(t.code(1), 200);
        QCOMPARE(again.data(), QByteArray("again"));
        server.release();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 2);
    }

    void lookupNeverAnswered_data() { addKinds(); }

    // The name server does not answer (the resolver would give up only after
    // 30 s): the look-up counts too (a proxy's name is looked up the same way). Runs
    // in a namespace of its own whose resolver asks 127.0.0.1 (CMakeLists.txt).
    void lookupNeverAnswered()
    {
        if (qEnvironmentVariableIsEmpty("TARNEX_SILENT_DNS"))
            QSKIP("runs as a ctest case of its own, with a name server that never answers");
        QString why;
        QVERIFY2(insideTestNetns(&why), qPrintable(why));
        FETCH_TRANSFER(t);
        QUdpSocket dns; // reads the queries, answers none
        QVERIFY(dns.bind(QHostAddress::LocalHost, 53));
        // A name of its own per row: a look-up still hanging from an earlier
        // row would hold back another of the same name.
        static int row = 0;
        const QString name = QStringLiteral("host%1.silent.test").arg(++row);
        t.setLimits(Limit);
        Device out;
        QElapsedTimer clock;
        clock.start();
        start(t, QStringLiteral("http://%1/mms").arg(name), &out);
        QVERIFY(t.done.wait(Limit + 10 * Late));
        const qint64 took = clock.elapsed();
        QCOMPARE(t.code(), timedOutCode(nm));
        QVERIFY2(took >= Limit && took < Limit + Late, QByteArray::number(took));
        QVERIFY(dns.hasPendingDatagrams()); // it was the look-up that hung
        if (!nm)
            QCOMPARE(t.states.last().at(0).toInt(), int(QHttp::Unconnected));
        // Refused now, so the resolver's threads are not still waiting when the test ends.
        while (dns.hasPendingDatagrams()) {
            const QNetworkDatagram query = dns.receiveDatagram();
            QByteArray answer = query.data();
            if (answer.size() >= 4) {
                answer[2] = char(answer[2] | 0x80); // a response
                answer[3] = char((answer[3] & 0xf0) | 5); // REFUSED
                dns.writeDatagram(answer, query.senderAddress(), quint16(query.senderPort()));
            }
        }
    }

    // A transfer that keeps moving, slowly, each piece well within the limit,
    // the whole far beyond it, completes: bytes leaving the client's kernel
    // restart the limit though nothing reports them (the server takes an
    // upload bigger than that kernel holds, in pieces), and so does every
    // byte that comes in (the head alone takes several times the limit; the
    // manager's variants hear of nothing before it is whole).
    void movingCompletes_data()
    {
        addKindColumns();
        QTest::addColumn<bool>("upload");
        for (const auto &k : Kinds) {
            if (k.send)
                kindRow(k, "slow upload") << true;
            kindRow(k, "drip-fed answer") << false;
        }
    }

    void movingCompletes()
    {
        FETCH_TRANSFER(t);
        QFETCH(bool, upload);
        const qint64 size = 8 * 1024 * 1024;
        SlowReader reader(256 * 1024, Limit / 8);
        QVERIFY(reader.port());
        HttpTestServer server;
        QVERIFY(server.listen());
        const QByteArray body = Body.left(100);
        server.enqueue(HttpTestResponse().sendInPieces("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nX-Padding: "
                + QByteArray(300, 'p') + "\r\n\r\n" + body,
            30, Limit / 4));
        t.setLimits(Limit);
        Device out;
        QElapsedTimer clock;
        clock.start();
        if (upload)
            start(t, QStringLiteral("http://127.0.0.1:%1/mms").arg(reader.port()), &out,
                HttpTestServer::pattern(size));
        else
            start(t, server.url(QStringLiteral("/mms")), &out);
        QVERIFY(t.done.wait(30000));
        QCOMPARE(t.code(), 200);
        QCOMPARE(out.data(), upload ? QByteArray("stored") : body);
        if (upload)
            QCOMPARE(reader.bodyBytes(), size);
        QVERIFY2(clock.elapsed() > 2 * Limit, QByteArray::number(clock.elapsed())); // it did take longer
    }

    void zeroKeepsWaitingUntilAbort_data() { addKinds(); }

    // 0 is no limit, not one that has run out at once. abort() ends the wait:
    // the socket variants silently (their states still come), the manager's
    // as cancelled; idle or repeated it is harmless, and the object works
    // again with the next answer not spent on the aborted connection.
    void zeroKeepsWaitingUntilAbort()
    {
        FETCH_TRANSFER(t);
        HttpTestServer server;
        QVERIFY(server.listen());
        t.abort();
        t.setLimits(Limit);
        t.setLimits(0);
        Device out;
        start(t, server.url(QStringLiteral("/mms")), &out);
        QVERIFY(server.waitForRequests(1));
        QVERIFY(!t.done.wait(3 * Limit));
        t.abort();
        t.abort();
        QVERIFY(server.waitForOpenConnections(0));
        QCOMPARE(t.done.count(), nm ? 1 : 0);
        if (nm)
            QCOMPARE(t.code(), int(QNetworkReply::OperationCanceledError));
        else
            QTRY_COMPARE(t.states.last().at(0).toInt(), int(QHttp::Unconnected));
        QCOMPARE(out.data(), QByteArray());

        server.enqueue(HttpTestServer::reply(200, "again"));
        Device again;
        start(t, server.url(QStringLiteral("/m2")), &again);
        QVERIFY(t.done.wait(10000));
        QCOMPARE(t.done.count(), nm ? 2 : 1);
        QCOMPARE(t.code(t.done.count() - 1), 200);
        QCOMPARE(again.data(), QByteArray("again"));
    }

    // Answers at, just under and just over the size limit, with and without
    // a Content-Length; over it, the transfer ends with the variant's code,
    // the connection is closed and the device holds nothing past the limit
    // (nothing at all when the length said so at once). The manager holds an
    // answer in memory: it is bounded also when the caller sets no limit.
    void sizeLimit_data()
    {
        addKindColumns();
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("closes"); // the answer ends with the connection
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<qint64>("limit"); // 0: none set
        for (const auto &k : Kinds) {
            for (qint64 size : { SizeLimit, SizeLimit + 1 }) {
                const QByteArray body = Body.left(int(size)), n = QByteArray::number(size);
                kindRow(k, "Content-Length " + n)
                    << HttpTestServer::reply(200, body) << false << size << true << SizeLimit;
                kindRow(k, "chunked " + n)
                    << HttpTestServer::chunkedReply(200, body, 3000) << false << size << false << SizeLimit;
                kindRow(k, "close-delimited " + n)
                    << HttpTestServer::closeDelimitedReply(200, body) << true << size << false << SizeLimit;
            }
            // Refused from the length alone: nothing of the body is waited for.
            kindRow(k, "Content-Length 1 GiB, 10 bytes sent")
                << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n" + Body.left(10))
                << false << (qint64(1) << 30) << true << SizeLimit;
            const qint64 over = TARNEX_NM_MAX_ANSWER_BYTES + 1;
            if (k.nm)
                kindRow(k, "Content-Length over the manager's own bound, no limit set")
                    << "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(over) + "\r\n\r\n"
                        + Body.left(10)
                    << false << over << true << qint64(0);
        }
    }

    void sizeLimit()
    {
        FETCH_TRANSFER(t);
        QFETCH(QByteArray, answer);
        QFETCH(bool, closes);
        QFETCH(qint64, size);
        QFETCH(bool, announced);
        QFETCH(qint64, limit);
        HttpTestServer server;
        QVERIFY(server.listen());
        HttpTestResponse response(answer);
        server.enqueue(closes ? response.close() : response.waitForRelease());
        if (limit) // else the transfer's own default
            t.setLimits(0, limit);
        LogCapture log;
        Device out;
        start(t, server.url(QStringLiteral("/mms")), &out);
        QVERIFY(t.done.wait(10000));
        if (size <= limit) {
            QCOMPARE(t.code(), 200);
            QCOMPARE(out.data(), Body.left(int(size)));
            QVERIFY(log.lines(QtWarningMsg).isEmpty());
            return;
        }
        QCOMPARE(t.code(), nm ? int(QNetworkReply::UnknownContentError) : int(QHttp::WrongContentLength));
        if (announced)
            QCOMPARE(out.data(), QByteArray());
        QVERIFY(out.data().size() <= SizeLimit);
        QVERIFY(Body.startsWith(out.data()));
        const qint64 bound = limit ? limit : TARNEX_NM_MAX_ANSWER_BYTES;
        QCOMPARE(log.lines(QtWarningMsg).filter(QString::number(bound)).size(), 1);
        QVERIFY(server.waitForOpenConnections(0));
    }
};

QTEST_GUILESS_MAIN(tst_TransferLimits)
#include "tst_transferlimits.moc"
