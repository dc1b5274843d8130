// A caller deletes the transfer object from a slot of one of its own signals
// (the common "delete sender()" on completion). Nothing may touch the object
// afterwards, whatever the variant, route, outcome or signal, and its
// connection must go with it. The memcheck and ASan runs are what see a
// stray read; this run sees crashes and connections left open.
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include "httptestserver.h"
#include "qhttp.h"
#include "tinyproxyprocess.h"
#include "transfer.h"

namespace {

const QByteArray Body = HttpTestServer::pattern(20000);

enum Trigger { Completion, Progress, State };
enum Answer { Whole, Cut, Empty, Stalled };

// Deletes the object whose signal reaches it: at its completion, its first
// progress report or when it reports the state `at`.
class Deleter : public QObject
{
    Q_OBJECT

public:
    Trigger trigger = Completion;
    int at = -1;
    QVariantList codes; // completion codes seen

public Q_SLOTS:
    void completion(int code)
    {
        codes << code;
        if (trigger == Completion)
            delete sender();
    }
    void progress(int, int)
    {
        if (trigger == Progress)
            delete sender();
    }
    void state(int state)
    {
        if (trigger == State && state == at)
            delete sender();
    }
};

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
            for (bool viaProxy : { false, true }) {
                const QByteArray route = viaProxy ? "proxy" : "direct";
                for (Answer answer : { Whole, Cut })
                    kindRow(k, route + ", completion, " + (answer == Cut ? "cut" : "whole"))
                        << viaProxy << int(Completion) << -1 << int(answer);
                kindRow(k, route + ", progress") << viaProxy << int(Progress) << -1 << int(Whole);
            }
            // Ended by the transfer time limit.
            kindRow(k, "completion, stalled") << false << int(Completion) << -1 << int(Stalled);
            if (k.nm) {
                // The manager's last report comes as the reply finishes.
                if (!k.send)
                    kindRow(k, "progress, empty") << false << int(Progress) << -1 << int(Empty);
                continue; // and it reports no states
            }
            // Every state; the closing ones come only when the answer is cut.
            for (int state = QHttp::Unconnected; state <= QHttp::Closing; ++state)
                kindRow(k, "state " + QByteArray::number(state))
                    << false << int(State) << state << int(state % QHttp::Closing == 0 ? Cut : Whole);
        }
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
        // Kept alive when whole: the socket classes then finish inside the
        // socket's own notification.
        if (answer == Stalled)
            server.setDefaultResponse(HttpTestResponse(raw.left(raw.size() - 5000)).waitForRelease());
        else
            server.setDefaultResponse(
                answer == Cut ? HttpTestResponse(raw).closeAfter(raw.size() - 5000) : HttpTestResponse(raw));

        QPointer<QObject> object = createTransfer(send, nm);
        Deleter deleter;
        deleter.trigger = Trigger(trigger);
        deleter.at = state;
        QVERIFY(connect(object, send ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)),
            &deleter, SLOT(completion(int))));
        QVERIFY(connect(object, send ? SIGNAL(sendProgress(int, int)) : SIGNAL(downloadProgress(int, int)),
            &deleter, SLOT(progress(int, int))));
        QVERIFY(connect(object, SIGNAL(connectionStateChanged(int)), &deleter, SLOT(state(int))));

        if (answer == Stalled) {
            if (send)
                static_cast<MmsSenderBase *>(object.data())->setTransferTimeout(300);
            else
                static_cast<MmsReceiverBase *>(object.data())->setTransferTimeout(300);
        }
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
            sender->setMmsc(url);
            sender->setMmscPort(QUrl(url).port());
            sender->startMmsSend(&pdu, &device);
        } else {
            static_cast<MmsReceiverBase *>(object.data())->downloadMms(url, &device);
        }

        QTRY_VERIFY_WITH_TIMEOUT(object.isNull(), 20000);
        if (trigger == Completion) {
            QCOMPARE(deleter.codes.size(), 1);
            QVERIFY((deleter.codes.first().toInt() == 200) == (answer == Whole || answer == Empty));
        }
        // Its connection went with it (through the proxy: the proxy's onward one).
        QVERIFY(server.waitForOpenConnections(0, 20000));
        QCOMPARE(deleter.codes.size(), trigger == Completion ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(tst_TransferMisuse)
#include "tst_transfermisuse.moc"
