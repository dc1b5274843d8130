// A caller deletes the transfer object from a slot of one of its own signals
// (the common "delete sender()" on completion): nothing may touch the object
// afterwards, and its connection goes with it. The memcheck and ASan runs see
// a stray read; this run sees crashes and connections left open.
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include "httptestserver.h"
#include "qhttp.h"
#include "tinyproxyprocess.h"
#include "transfer.h"

namespace {
enum Trigger { Completion, Progress, State };
enum Answer { Whole, Cut, Empty, Stalled };
} // namespace

class tst_TransferMisuse : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    TinyproxyProcess m_proxy;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY2(m_proxy.start(), qPrintable(m_proxy.errorString()));
    }

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
        const QByteArray raw
            = HttpTestServer::reply(200, HttpTestServer::pattern(answer == Empty ? 0 : 20000));
        // Kept alive when whole: the socket classes then finish inside the
        // socket's own notification.
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

QTEST_GUILESS_MAIN(tst_TransferMisuse)
#include "tst_transfermisuse.moc"
