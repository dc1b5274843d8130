// The PDU codec the MMSC simulator and the demo client judge round trips with:
// hand-made bytes, the shipped sample, and hostile input.
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include "mmspdu.h"
#include "wspreader.h"
#include "wspwriter.h"

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray readFile(const char *name)
{
    QFile f(QStringLiteral(SAMPLE_DIR "/") + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestMmsPdu : public QObject
{
    Q_OBJECT

    const QByteArray m_sample = readFile("m-send-req.mms");

private Q_SLOTS:
    void initTestCase() { QVERIFY(!m_sample.isEmpty()); }

    void primitives()
    {
        const QString text = QStringLiteral("Gr\u00fc\u00dfe \u263a");
        const QByteArray utf8 = text.toUtf8();
        WspWriter w;
        w.uintvar(127);
        w.uintvar(16384);
        w.uintvar(0xffffffffu);
        w.valueLength(30);
        w.valueLength(31);
        w.longInteger(1780000000);
        w.integerValue(300);
        w.textString("\xc3\xa9t"); // high first octet: quoted with 127
        w.textString(QByteArray("cut\0here", 8));
        w.encodedString(text);
        QCOMPARE(w.data(),
            hex("7f 818000 8fffffff7f 1e 1f1f 046a18a500 02012c 7fc3a97400 63757400") + char(utf8.size() + 2)
                + '\xea' + utf8 + '\0');
        // Lengths are checked against what follows, so give the reader room.
        WspReader r(w.data() + QByteArray(31, 'x'));
        const QVariantList values { r.uintvar(), r.uintvar(), r.uintvar(), r.valueLength(), r.valueLength(),
            r.longInteger(), r.integerValue(), r.textString(), r.textString(), r.encodedString() };
        QCOMPARE(values,
            (QVariantList { 127u, 16384u, 0xffffffffu, 30, 31, quint64(1780000000), quint64(300),
                QByteArray("\xc3\xa9t"), QByteArray("cut"), text }));
        QVERIFY(r.ok());
    }

    void sample()
    {
        MmsPdu pdu;
        QString error;
        QVERIFY2(pdu.decode(m_sample, &error), qPrintable(error));
        QCOMPARE(pdu.transactionId(), QByteArray("demo-0001"));
        QList<MmsPart> parts;
        QVERIFY(pdu.parts(&parts, &error));
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts.at(0).data, readFile("parts/hello.txt"));
        QCOMPARE(parts.at(1).data, readFile("parts/ring.png"));
        QCOMPARE(pdu.encode(), m_sample);
        QCOMPARE(MmsPart::encodeMultipart(parts), pdu.body);
        // Cut anywhere, the body is refused, not taken for fewer or shorter parts.
        for (int n = 0; n < pdu.body.size(); ++n)
            QVERIFY2(!MmsPart::decodeMultipart(pdu.body.left(n), &parts), qPrintable(QString::number(n)));
    }

    void corruptionNeverCrashesAndAcceptedInputRoundTrips()
    {
        QRandomGenerator rng(20261206);
        int accepted = 0;
        for (int i = 0; i < 3000; ++i) {
            QByteArray b = m_sample.left(400 + int(rng.bounded(200))); // headers and first part
            for (int f = 1 + int(rng.bounded(4)); f > 0; --f)
                b[int(rng.bounded(b.size()))] = char(rng.bounded(256));
            MmsPdu pdu;
            if (pdu.decode(b)) {
                ++accepted;
                QCOMPARE(pdu.encode(), b); // whatever is accepted is kept exactly
                pdu.describe();
                QList<MmsPart> parts;
                pdu.parts(&parts);
            }
        }
        qInfo("accepted %d of 3000 corrupted PDUs", accepted);
    }
};

QTEST_GUILESS_MAIN(TestMmsPdu)
#include "tst_mmspdu.moc"
