// Thousands of transfers on long-lived transfer objects, as an MMS daemon
// keeps them: every transfer is delivered whole, and once warmed up the
// process does not grow: no heap, no file descriptors, no reply objects.
//
// The server is a separate process (the benchmarks' loopback server), so
// that nothing it keeps counts against the library.
#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

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

    bool transfer(QObject *t, int index, QBuffer *pdu, QBuffer *out)
    {
        const bool isSender = t->inherits("MmsSenderBase");
        QSignalSpy completed(t, isSender ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)));
        out->buffer().clear();
        out->seek(0);
        pdu->seek(0);
        if (isSender) {
            auto *s = static_cast<MmsSenderBase *>(t);
            s->setMmsc(QStringLiteral("http://127.0.0.1/sink?n=%1").arg(index));
            s->setMmscPort(m_port);
            s->startMmsSend(pdu, out);
        } else {
            static_cast<MmsReceiverBase *>(t)->downloadMms(
                QStringLiteral("http://127.0.0.1:%1/blob/%2").arg(m_port).arg(1000 + index % 64), out);
        }
        if (!completed.wait(20000) || completed.count() != 1 || completed.at(0).at(0).toInt() != 200)
            return false;
        return isSender ? out->data().size() == 16 : out->data().size() == 1000 + index % 64;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
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
        QTest::addColumn<QString>("variant");
        for (const char *v : { "MmsSender", "MmsSenderNM", "MmsReceiver", "MmsReceiverNM" })
            QTest::newRow(v) << QString::fromLatin1(v);
    }

    // 10 000 transfers in all, a quarter per variant.
    void manyTransfersOnOneObject()
    {
        QFETCH(QString, variant);
        const int total = enduranceCount(2500, 100);
        const int warmUp = qMax(20, total / 10);

        QScopedPointer<QObject> t;
        if (variant == QLatin1String("MmsSender"))
            t.reset(new MmsSender);
        else if (variant == QLatin1String("MmsSenderNM"))
            t.reset(new MmsSenderNM);
        else if (variant == QLatin1String("MmsReceiver"))
            t.reset(new MmsReceiver);
        else
            t.reset(new MmsReceiverNM);

        QByteArray pduBytes(3000, 'p');
        QBuffer pdu(&pduBytes);
        QVERIFY(pdu.open(QIODevice::ReadOnly));
        QBuffer out;
        QVERIFY(out.open(QIODevice::ReadWrite));

        for (int i = 0; i < warmUp; ++i)
            QVERIFY2(transfer(t.data(), i, &pdu, &out), qPrintable(QStringLiteral("transfer %1").arg(i)));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const Resources before = Resources::count(t.data());

        for (int i = warmUp; i < total; ++i)
            QVERIFY2(transfer(t.data(), i, &pdu, &out), qPrintable(QStringLiteral("transfer %1").arg(i)));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const Resources after = Resources::count(t.data());
        qInfo() << variant << total << "transfers; after warm-up:" << before << "; at the end:" << after;

        QCOMPARE(after.fds, before.fds);
        QCOMPARE(after.children, before.children);
        QCOMPARE(after.objects, before.objects);
        if (Resources::heapIsMeasurable()) {
            // A leak of even a few bytes per transfer shows over thousands;
            // allocator caches and Qt's own do not grow with the count.
            QVERIFY2(after.heap - before.heap < 64 * 1024,
                     qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after.heap - before.heap)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_TransferEndurance)
#include "tst_transferendurance.moc"
