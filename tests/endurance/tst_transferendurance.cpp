// Thousands of transfers on long-lived objects, each byte for byte, and no
// growth once warmed up. The server runs apart so its memory does not count.
#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "resources.h"
#include "transfer.h"

class tst_TransferEndurance : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QProcess m_server;
    quint16 m_port = 0;
    QByteArray m_blob; // the server's body pattern

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

    void manyTransfersOnOneObject_data() { addKinds(); }

    // 10 000 transfers in all at full length, a quarter per variant.
    void manyTransfersOnOneObject()
    {
        QFETCH(bool, send);
        QFETCH(bool, nm);
        const int total = enduranceCount(2500, 100);
        const int warmUp = qMax(20, total / 10);
        const std::unique_ptr<QObject> t(createTransfer(send, nm));
        QByteArray pduBytes(3000, 'p');
        QBuffer pdu(&pduBytes), out;
        QVERIFY(pdu.open(QIODevice::ReadOnly) && out.open(QIODevice::ReadWrite));
        Resources before;
        for (int i = 0; i < total; ++i) {
            if (i == warmUp) {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                before = Resources::count(t.get());
            }
            QSignalSpy done(t.get(), send ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)));
            out.buffer().clear();
            out.seek(0);
            pdu.seek(0);
            const int size = 1000 + i % 64;
            if (send) {
                auto *s = static_cast<MmsSenderBase *>(t.get());
                s->setMmsc(QStringLiteral("http://127.0.0.1/sink?n=%1").arg(i));
                s->setMmscPort(m_port);
                s->startMmsSend(&pdu, &out);
            } else {
                static_cast<MmsReceiverBase *>(t.get())->downloadMms(
                    QStringLiteral("http://127.0.0.1:%1/blob/%2").arg(m_port).arg(size), &out);
            }
            QVERIFY2(done.wait(20000) && done.count() == 1 && done.at(0).at(0).toInt() == 200
                    && out.data() == (send ? QByteArray("0123456789abcdef") : m_blob.left(size)),
                qPrintable(QStringLiteral("transfer %1").arg(i)));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        compareResources(before, Resources::count(t.get()), total);
    }
};

QTEST_GUILESS_MAIN(tst_TransferEndurance)
#include "tst_transferendurance.moc"
