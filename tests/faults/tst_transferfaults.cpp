// Transfers against peers that fail, stall, crawl or answer too much, and
// callers that delete them from their own signals. Framing faults: tests/http.
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QPointer>
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
#include "tinyproxyprocess.h"
#include "transfer.h"

namespace {

// Longer under valgrind, which slows the client as much as the peers that pace it.
const bool Slowed = !qEnvironmentVariableIsEmpty("TARNEX_UNDER_VALGRIND");
const int Limit = Slowed ? 4000 : 400; // ms
const int Late = Slowed ? 10000 : 1000; // how long after the limit a stall may end
const qint64 SizeLimit = 10000;
const QByteArray Body = HttpTestServer::pattern(20000);
const QString Mmsc = QStringLiteral("http://mmsc.invalid:8002/mms"); // reachable only through a proxy

void start(
    Transfer &t, const QString &url, QIODevice *out, const QByteArray &pdu = HttpTestServer::pattern(3000))
{
    t.start(url, QUrl(url).port(80), out, pdu);
}

// A loopback port nobody accepts on. Full, the kernel ignores further
// attempts to connect; otherwise what is sent to it stays unread.
struct Unserved
{
    explicit Unserved(bool full)
    {
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(fd, full ? 0 : 4) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        if (full)
            filler.connectToHost(QHostAddress::LocalHost, port);
        if (full && !filler.waitForConnected(5000))
            port = 0;
    }
    ~Unserved() { ::close(fd); }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    QTcpSocket filler;
};

// Connections to a loopback `port` that a descriptor of this test holds (one
// let go of may linger in the kernel, owned by none).
int connectionsTo(quint16 port)
{
    const QByteArray remote = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int n = 0;
    for (const char *table : { "/proc/self/net/tcp", "/proc/self/net/tcp6" }) {
        QFile f(QString::fromLatin1(table));
        f.open(QIODevice::ReadOnly);
        f.readLine();
        while (!f.atEnd()) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            const QList<QByteArray> fields = f.readLine().simplified().split(' ');
            n += fields.size() > 9 && fields.at(2).endsWith(remote) && fields.at(9) != "0";
        }
    }
    return n;
}

enum Route { Direct, Proxy, Tinyproxy };
enum Peer { Lookup, Server, DripFed, ServerNeverConnects, ServerNeverReads, SlowReader, PduNeverEnds };
enum Outcome { Completes, TimedOut, TooLarge };
enum Trigger { Completion, Progress, State };
enum Answer { Whole, Cut, Empty, Stalled };

} // namespace

class tst_TransferFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    TinyproxyProcess m_proxy;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path())); // no settings file: built-in identity
        QVERIFY2(m_proxy.start(), qPrintable(m_proxy.errorString()));
    }

    // Ends once, never as success without the whole answer, and says nothing
    // more, also not once the peer is gone.
    void badPeer_data()
    {
        addKindColumns();
        QTest::addColumn<int>("route");
        QTest::addColumn<QByteArray>("answer"); // null: nobody listens
        QTest::addColumn<qint64>("cutAt"); // -1: all of it, connection kept; -2: the caller closes its device
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("stored"); // null: a prefix of the body
        const QByteArray whole = HttpTestServer::reply(200, Body), none;
        const Kind &socket = Kinds[0], &manager = Kinds[3];
        // Each class turns the failure into its own completion code.
        for (const auto &k : Kinds)
            kindRow(k, "closed one byte short") << int(Direct) << whole << qint64(whole.size() - 1)
                                                << (k.nm ? 0 : int(QHttp::WrongContentLength)) << none;
        for (const auto &k : Kinds)
            kindRow(k, "caller closes its device mid-body")
                << int(Direct) << whole << qint64(-2)
                << (k.nm ? int(QNetworkReply::UnknownContentError) : int(QHttp::UnknownError)) << none;
        kindRow(socket, "nobody listening")
            << int(Direct) << none << qint64(-1) << int(QHttp::ConnectionRefused) << none;
        // The relay answers the manager as a SOCKS server, or as its proxy.
        for (int route : { Direct, Proxy })
            kindRow(manager, route == Proxy ? "proxy, nobody listening" : "direct, nobody listening")
                << route << none << qint64(-1) << int(QNetworkReply::ConnectionRefusedError) << none;
        const QByteArray challenge
            = HttpTestServer::reply(407, Body.left(100), { "Proxy-Authenticate: Basic realm=\"operator\"" });
        for (const Kind &k : { socket, manager })
            kindRow(k, "proxy answers 407")
                << int(Proxy) << challenge << qint64(-1)
                << (k.nm ? 0 : int(QHttp::ProxyAuthenticationRequiredError)) << none;
        // MMS PDUs are never content-coded: the bytes as sent, also behind a real proxy.
        const QByteArray deflated = qCompress(QByteArray(200000, '\0')).mid(4); // a zlib stream
        const QByteArray coded = "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: "
            + QByteArray::number(deflated.size()) + "\r\n\r\n" + deflated;
        for (int route : { Direct, Tinyproxy })
            kindRow(manager, route == Tinyproxy ? "tinyproxy, coded body kept" : "direct, coded body kept")
                << route << coded << qint64(-1) << 200 << deflated;
        // What the parser refuses, the relay does not pass on for the manager to read.
        kindRow(manager, "conflicting Content-Length")
            << int(Direct)
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 10\r\n\r\nhello")
            << qint64(-1) << int(QNetworkReply::ProtocolFailure) << QByteArray("");
    }

    void badPeer()
    {
        FETCH_TRANSFER(t);
        QFETCH(int, route);
        QFETCH(QByteArray, answer);
        QFETCH(qint64, cutAt);
        QFETCH(int, code);
        QFETCH(QByteArray, stored);
        HttpTestServer server;
        QTcpServer probe; // a port nobody listens on once the probe is gone
        QVERIFY(answer.isNull() ? probe.listen(QHostAddress::LocalHost) : server.listen());
        const quint16 port = answer.isNull() ? probe.serverPort() : server.port();
        probe.close();
        HttpTestResponse response(answer);
        const int firstPart = answer.indexOf("\r\n\r\n") + 4 + 1000;
        server.setDefaultResponse(cutAt >= 0 ? response.closeAfter(cutAt)
                : cutAt == -1
                ? response.waitForRelease()
                : HttpTestResponse(answer.left(firstPart)).waitForRelease().send(answer.mid(firstPart)));
        QString url = QStringLiteral("http://127.0.0.1:%1/mms").arg(port);
        if (route == Proxy) {
            t.setProxy(HttpTestServer::host(), port);
            url = Mmsc;
        } else if (route == Tinyproxy) {
            t.setProxy(HttpTestServer::host(), m_proxy.port());
        }
        Device out;
        start(t, url, &out);
        if (cutAt == -2) {
            QVERIFY(server.waitForRequests(1, 20000));
            if (!nm) // the socket variants write the body as it arrives, the manager at the end
                QTRY_VERIFY_WITH_TIMEOUT(out.data().size() > 0, 20000);
            out.close();
            server.release();
        }
        QTRY_COMPARE_WITH_TIMEOUT(t.done.count(), 1, 20000);

        if (code)
            QCOMPARE(t.code(), code);
        else
            QVERIFY2(t.code() != 200 && t.code() != 0, "a failure reported as success");
        if (stored.isNull())
            QVERIFY(Body.startsWith(out.data()));
        else
            QCOMPARE(out.data(), stored);
        if (!answer.isNull()) {
            QVERIFY(
                nm ? server.requestCount() >= 1 : server.requestCount() == 1); // a PDU is never sent twice
            if (nm)
                QCOMPARE(server.request(0).header("Accept-Encoding"), QByteArray("identity"));
        }
        server.release();
        server.closeAllConnections();
        QCoreApplication::processEvents();
        QCOMPARE(t.done.count(), 1);
        QCOMPARE(t.progress.count(), t.progressAtEnd);
    }

    // A stall ends the transfer once, soon after the limit, its connection
    // closed; a slow one that keeps moving completes; an answer over the size
    // limit leaves no more than the limit. The object works again at once.
    void limits_data()
    {
        addKindColumns();
        QTest::addColumn<int>("peer");
        QTest::addColumn<QByteArray>("answer"); // what the server sends, then holds the connection
        QTest::addColumn<qint64>("size"); // size limit; 0: the time limit instead, -1: left as it is
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QByteArray>("inDevice"); // by the socket variants; null: a prefix up to the limit
        const auto row = [](const Kind &k, const char *tag, Peer peer, const QByteArray &answer, qint64 size,
                             Outcome outcome, const QByteArray &inDevice) {
            kindRow(k, tag) << int(peer) << answer << size << int(outcome) << inDevice;
        };
        const Kind &sender = Kinds[0], &receiver = Kinds[1], &senderNm = Kinds[2], &receiverNm = Kinds[3];
        const QByteArray whole = HttpTestServer::reply(200, Body), none, empty("");
        // One stall of each kind the library watches for itself.
        for (const Kind &k : { sender, receiverNm })
            row(k, "look-up never answered", Lookup, none, 0, TimedOut, empty);
        for (const Kind &k : { receiver, senderNm })
            row(k, "server never completes the connection", ServerNeverConnects, none, 0, TimedOut, empty);
        row(receiver, "stall in the head", Server, whole.left(20), 0, TimedOut, empty);
        for (const Kind &k : { receiver, receiverNm })
            row(k, "stall mid-body", Server, whole.left(whole.indexOf("\r\n\r\n") + 14), 0, TimedOut,
                Body.left(10));
        row(sender, "server stops reading the upload", ServerNeverReads, none, 0, TimedOut, empty);
        row(sender, "PDU stream never ends", PduNeverEnds, none, 0, TimedOut, empty);
        // Each piece well within the limit, the whole far beyond it: bytes the
        // network acknowledges count, and so do those of an answer's head.
        const QByteArray padded = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nX-Padding: "
            + QByteArray(300, 'p') + "\r\n\r\n" + Body.left(100);
        for (const Kind &k : Kinds)
            if (k.send)
                row(k, "slow upload", SlowReader, none, 0, Completes, "stored");
            else
                row(k, "drip-fed answer", DripFed, padded, 0, Completes, Body.left(100));
        // At and one over, with and without a length (refused before the body comes).
        const auto announcing = [](qint64 length) {
            return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n"
                + Body.left(10);
        };
        const QByteArray fits = Body.left(SizeLimit), over = Body.left(SizeLimit + 1);
        for (const Kind &k : { receiver, receiverNm }) {
            row(k, "Content-Length at the size limit", Server, HttpTestServer::reply(200, fits), SizeLimit,
                Completes, fits);
            row(k, "Content-Length one over", Server, announcing(SizeLimit + 1), SizeLimit, TooLarge, empty);
            row(k, "chunked at the size limit", Server, HttpTestServer::chunkedReply(200, fits, 3000),
                SizeLimit, Completes, fits);
            row(k, "chunked one over", Server, HttpTestServer::chunkedReply(200, over, 3000), SizeLimit,
                TooLarge, none);
        }
        // The manager holds answers in memory: bounded unless the caller says otherwise.
        row(receiverNm, "over the manager's default bound", Server,
            announcing(TARNEX_NM_MAX_ANSWER_BYTES + 1), -1, TooLarge, empty);
    }

    void limits()
    {
        FETCH_TRANSFER(t);
        QFETCH(int, peer);
        QFETCH(QByteArray, answer);
        QFETCH(qint64, size);
        QFETCH(int, outcome);
        QFETCH(QByteArray, inDevice);
        if (peer == Lookup && qEnvironmentVariableIsEmpty("TARNEX_SILENT_DNS"))
            QSKIP("runs as a ctest case of its own, with a name server that never answers");
        HttpTestServer server;
        QVERIFY(server.listen());
        HttpTestResponse response = peer == DripFed ? HttpTestResponse().sendInPieces(answer, 30, Limit / 4)
                                                    : HttpTestResponse(answer);
        server.enqueue(response.waitForRelease());
        QString url = server.url(QStringLiteral("/mms"));
        QByteArray pdu = HttpTestServer::pattern(3000);
        std::unique_ptr<Unserved> unserved;
        QUdpSocket dns; // reads the queries, answers none
        // Takes the upload a piece at a time: the rest waits unacknowledged.
        QTcpServer reader;
        QTcpSocket *readerSocket = nullptr;
        QByteArray got;
        QTimer tick;
        if (peer == Lookup) {
            QString why;
            QVERIFY2(insideTestNetns(&why), qPrintable(why));
            QVERIFY(dns.bind(QHostAddress::LocalHost, 53));
            // A name of its own per row: a look-up still hanging holds back another of the same name.
            url = QStringLiteral("http://host%1.silent.test/mms").arg(int(nm));
        } else if (peer == ServerNeverConnects || peer == ServerNeverReads) {
            unserved.reset(new Unserved(peer == ServerNeverConnects));
            QVERIFY(unserved->port);
            url = QStringLiteral("http://127.0.0.1:%1/mms").arg(unserved->port);
            if (peer == ServerNeverReads) // more than the kernels on both ends hold
                pdu = HttpTestServer::pattern(32 << 20);
        } else if (peer == SlowReader) {
            const int piece = 256 * 1024;
            QVERIFY(reader.listen(QHostAddress::LocalHost));
            connect(&reader, &QTcpServer::newConnection, this, [&] {
                readerSocket = reader.nextPendingConnection();
                readerSocket->setReadBufferSize(piece);
                readerSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, piece);
            });
            connect(&tick, &QTimer::timeout, this, [&] {
                if (!readerSocket)
                    return;
                got += readerSocket->read(piece);
                const int end = got.indexOf("\r\n\r\n");
                if (end > 0 && got.size() - end - 4 == pdu.size()) {
                    readerSocket->write(HttpTestServer::reply(200, "stored"));
                    tick.stop();
                }
            });
            tick.start(Limit / 8);
            url = QStringLiteral("http://127.0.0.1:%1/mms").arg(reader.serverPort());
            pdu = HttpTestServer::pattern(8 << 20);
        }
        const int unservedBefore = unserved ? connectionsTo(unserved->port) : 0;
        if (size >= 0) // else the variant's own default
            t.setLimits(size ? 0 : Limit, size);
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
            start(t, url, &out, pdu);
        }
        QVERIFY(t.done.wait(Limit + 10 * Late));
        const qint64 took = clock.elapsed();
        const int tooLarge = nm ? int(QNetworkReply::UnknownContentError) : int(QHttp::WrongContentLength);
        const int timedOut = nm ? int(QNetworkReply::TimeoutError) : int(QHttp::Aborted);
        QCOMPARE(t.code(), outcome == Completes ? 200 : outcome == TooLarge ? tooLarge : timedOut);
        if (outcome == TimedOut)
            QVERIFY2(took >= Limit && took < Limit + Late, QByteArray::number(took));
        else if (size == 0) // it did take longer than the limit
            QVERIFY2(took > 2 * Limit, QByteArray::number(took));
        const qint64 bound = size > 0 ? size : size < 0 ? TARNEX_NM_MAX_ANSWER_BYTES : Limit;
        QCOMPARE(log.lines(QtWarningMsg).filter(QString::number(bound)).size(), outcome == Completes ? 0 : 1);
        if (inDevice.isNull())
            QVERIFY(out.data().size() <= SizeLimit && Body.startsWith(out.data()));
        else // the manager's variants store only whole answers
            QCOMPARE(out.data(), nm && outcome != Completes ? QByteArray() : inDevice);
        if (!nm && outcome != Completes)
            QVERIFY(peer == PduNeverEnds ? t.states.isEmpty()
                                         : t.states.last().at(0).toInt() == QHttp::Unconnected);
        if (peer == Server && outcome != Completes)
            QVERIFY(server.waitForOpenConnections(0));
        if (unserved) // nothing left trying or holding on
            QTRY_COMPARE(connectionsTo(unserved->port), unservedBefore);
        if (peer == PduNeverEnds)
            QCOMPARE(server.connectionCount(), 0); // nothing goes out before the whole PDU is in
        if (peer == ServerNeverReads)
            QVERIFY(!t.progress.isEmpty()); // the upload had been moving
        if (peer == SlowReader)
            QVERIFY(got.endsWith("\r\n\r\n" + pdu));
        if (peer == Lookup)
            QVERIFY(dns.hasPendingDatagrams()); // it was the look-up that hung
        // Refused now, so the resolver's threads are not still waiting when the test ends.
        while (dns.hasPendingDatagrams()) {
            const QNetworkDatagram query = dns.receiveDatagram();
            QByteArray refused = query.data();
            if (refused.size() >= 4) {
                refused[2] = char(refused[2] | 0x80); // a response
                refused[3] = char((refused[3] & 0xf0) | 5); // REFUSED
                dns.writeDatagram(refused, query.senderAddress(), quint16(query.senderPort()));
            }
        }

        // Reused at once; the first transfer says nothing more, also when aborted after its end.
        t.abort();
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

    // "delete sender()" from a slot of the object's own signals: nothing may
    // touch it afterwards (memcheck and ASan runs), its connection goes too.
    void deletedFromOwnSignal_data()
    {
        addKindColumns();
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<int>("trigger");
        QTest::addColumn<int>("state"); // State rows: the state value to delete at
        QTest::addColumn<int>("answer");
        for (const auto &k : Kinds) {
            for (Answer answer : { Whole, Cut })
                kindRow(k, answer == Cut ? "completion, cut" : "completion, whole")
                    << false << int(Completion) << -1 << int(answer);
            kindRow(k, "progress") << false << int(Progress) << -1 << int(Whole);
            if (k.nm)
                continue; // the manager's variants report no states
            // Every state; the closing ones come only when the answer is cut.
            for (int state = QHttp::Unconnected; state <= QHttp::Closing; ++state)
                kindRow(k, "state " + QByteArray::number(state))
                    << false << int(State) << state << int(state % QHttp::Closing == 0 ? Cut : Whole);
        }
        // Through a real proxy; the manager's relay then works as one itself.
        for (const Kind &k : { Kinds[0], Kinds[3] })
            kindRow(k, "proxy, completion, whole") << true << int(Completion) << -1 << int(Whole);
        // Ended by the time limit.
        for (const Kind &k : { Kinds[1], Kinds[2] })
            kindRow(k, "completion, stalled") << false << int(Completion) << -1 << int(Stalled);
        // The manager's last report comes as the reply finishes.
        kindRow(Kinds[3], "progress, empty") << false << int(Progress) << -1 << int(Empty);
    }

    void deletedFromOwnSignal()
    {
        QFETCH(bool, send);
        QFETCH(bool, nm);
        QFETCH(bool, viaProxy);
        QFETCH(int, trigger);
        QFETCH(int, state);
        QFETCH(int, answer);
        HttpTestServer server;
        QVERIFY(server.listen());
        const QByteArray raw = HttpTestServer::reply(200, answer == Empty ? QByteArray() : Body);
        // Kept alive when whole: the socket classes then finish inside a socket notification.
        HttpTestResponse response(answer == Cut || answer == Stalled ? raw.left(raw.size() - 5000) : raw);
        server.setDefaultResponse(answer == Cut ? response.close()
                : answer == Stalled             ? response.waitForRelease()
                                                : response);

        QPointer<QObject> object = createTransfer(send, nm);
        QList<int> codes; // completion codes seen
        const auto drop = [&](Trigger at, int now = -1) {
            if (at == trigger && now == state)
                delete object.data();
        };
        const auto hook = [&](auto *o, auto completed, auto progressed) {
            connect(o, completed, this, [&](int code) { codes << code, drop(Completion); });
            connect(o, progressed, this, [&] { drop(Progress); });
            connect(o, &std::remove_pointer_t<decltype(o)>::connectionStateChanged, this,
                [&](int now) { drop(State, now); });
            if (answer == Stalled)
                o->setTransferTimeout(300);
        };
        if (viaProxy) {
            object->setProperty("proxy", QStringLiteral("127.0.0.1"));
            object->setProperty("proxyPort", m_proxy.port());
        }
        const QString url = server.url(QStringLiteral("/mms"));
        Device device;
        QBuffer pdu;
        pdu.setData(HttpTestServer::pattern(3000));
        pdu.open(QIODevice::ReadOnly);
        if (send) {
            auto *sender = static_cast<MmsSenderBase *>(object.data());
            hook(sender, &MmsSenderBase::mmsSendComplete, &MmsSenderBase::sendProgress);
            sender->setMmsc(url);
            sender->setMmscPort(QUrl(url).port());
            sender->startMmsSend(&pdu, &device);
        } else {
            auto *receiver = static_cast<MmsReceiverBase *>(object.data());
            hook(receiver, &MmsReceiverBase::downloadCompleted, &MmsReceiverBase::downloadProgress);
            receiver->downloadMms(url, &device);
        }

        QTRY_VERIFY_WITH_TIMEOUT(object.isNull(), 20000);
        QCOMPARE(codes.size(), trigger == Completion ? 1 : 0);
        if (trigger == Completion)
            QCOMPARE(codes.first() == 200, answer == Whole);
        // Its connection went with it (through the proxy: the proxy's onward one).
        QVERIFY(server.waitForOpenConnections(0, 20000));
    }
};

QTEST_GUILESS_MAIN(tst_TransferFaults)
#include "tst_transferfaults.moc"
