// Thousands of transfers on long-lived transfer objects, as an MMS daemon
// keeps them: every one delivered byte for byte, and once warmed up the
// process does not grow: no heap, no file descriptors, no reply objects.
// The server is the benchmarks' loopback server in a process of its own, so
// that nothing it keeps counts against the library.
#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"
#include "resources.h"

class tst_TransferEndurance : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QProcess m_server;
    quint16 m_port = 0;
    QByteArray m_blob; // the server's body pattern

    bool transfer(QObject *t, bool isSender, int index, QBuffer *pdu, QBuffer *out)
    {
        QSignalSpy completed(t, isSender ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)));
        out->buffer().clear();
        out->seek(0);
        pdu->seek(0);
        const int size = 1000 + index % 64;
        if (isSender) {
            auto *s = static_cast<MmsSenderBase *>(t);
            s->setMmsc(QStringLiteral("http://127.0.0.1/sink?n=%1").arg(index));
            s->setMmscPort(m_port);
            s->startMmsSend(pdu, out);
        } else {
            static_cast<MmsReceiverBase *>(t)->downloadMms(
                QStringLiteral("http://127.0.0.1:%1/blob/%2").arg(m_port).arg(size), out);
        }
        return completed.wait(20000) && completed.count() == 1 && completed.at(0).at(0).toInt() == 200
            && out->data() == (isSender ? QByteArray("0123456789abcdef") : m_blob.left(size));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        for (int i = 0; i < 1100; ++i)
            m_blob += char((i * 131 + 7) & 0xff);
        m_server.start(QStringLiteral(ENDURANCE_SERVER), QStringList());
        QVERIFY(m_server.waitForStarted());
        while (!m_server.canReadLine())
            QVERIFY(m_server.waitForReadyRead(20000));
        const QByteArray ready = m_server.readLine().trimmed();
        QVERIFY(ready.startsWith("ready "));
        m_port = quint16(ready.mid(6).toUInt());
        QVERIFY(m_port);
    }

    void cleanupTestCase()
    {
        m_server.kill();
        m_server.waitForFinished();
    }

    void manyTransfersOnOneObject_data()
    {
        QTest::addColumn<bool>("isSender");
        QTest::addColumn<bool>("nm");
        QTest::newRow("MmsSender") << true << false;
        QTest::newRow("MmsSenderNM") << true << true;
        QTest::newRow("MmsReceiver") << false << false;
        QTest::newRow("MmsReceiverNM") << false << true;
    }

    // 10 000 transfers in all at full length, a quarter per variant.
    void manyTransfersOnOneObject()
    {
        QFETCH(bool, isSender);
        QFETCH(bool, nm);
        const int total = enduranceCount(2500, 100);
        const int warmUp = qMax(20, total / 10);
        std::unique_ptr<QObject> t;
        if (isSender)
            t.reset(nm ? static_cast<QObject *>(new MmsSenderNM) : new MmsSender);
        else
            t.reset(nm ? static_cast<QObject *>(new MmsReceiverNM) : new MmsReceiver);
        QByteArray pduBytes(3000, 'p');
        QBuffer pdu(&pduBytes);
        QVERIFY(pdu.open(QIODevice::ReadOnly));
        QBuffer out;
        QVERIFY(out.open(QIODevice::ReadWrite));

        Resources before;
        for (int i = 0; i < total; ++i) {
            if (i == warmUp) {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                before = Resources::count(t.get());
            }
            QVERIFY2(
                transfer(t.get(), isSender, i, &pdu, &out), qPrintable(QStringLiteral("transfer %1").arg(i)));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        compareResources(before, Resources::count(t.get()), total);
    }
};

QTEST_GUILESS_MAIN(tst_TransferEndurance)
#include "tst_transferendurance.moc"
