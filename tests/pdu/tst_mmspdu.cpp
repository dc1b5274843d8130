// The MMS PDU codec shared by the MMSC simulator and the demo client: wire
// encodings against hand-made bytes, the shipped sample, and hostile input.
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <functional>

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
        QCOMPARE(r.uintvar(), 127u);
        QCOMPARE(r.uintvar(), 16384u);
        QCOMPARE(r.uintvar(), 0xffffffffu);
        QCOMPARE(r.valueLength(), 30);
        QCOMPARE(r.valueLength(), 31);
        QCOMPARE(r.longInteger(), quint64(1780000000));
        QCOMPARE(r.integerValue(), quint64(300));
        QCOMPARE(r.textString(), QByteArray("\xc3\xa9t"));
        QCOMPARE(r.textString(), QByteArray("cut"));
        QCOMPARE(r.encodedString(), text);
        QVERIFY(r.ok());
        WspReader latin(hex("0584e974e900"));
        QCOMPARE(latin.encodedString(), QStringLiteral("\u00e9t\u00e9"));
    }

    void malformedInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::newRow("uintvar over 32 bits") << hex("9080808000") << 0;
        QTest::newRow("uintvar of six octets") << hex("808080808001") << 0;
        QTest::newRow("uintvar cut") << hex("8181") << 0;
        QTest::newRow("value-length past the end") << hex("05aabb") << 1;
        QTest::newRow("quoted length past the end") << hex("1f8100aa") << 1;
        QTest::newRow("long integer of 9 octets") << hex("09010203040506070809") << 2;
        QTest::newRow("long integer cut") << hex("040102") << 2;
        QTest::newRow("text without NUL") << QByteArray("abc") << 3;
        QTest::newRow("encoded string longer than its length") << hex("03ea41424300") << 4;
        QTest::newRow("multipart: huge entry count") << hex("8fffffff7f 0100 83") << 5;
        QTest::newRow("multipart: data past the end") << hex("01 0105 83 6162") << 5;
        QTest::newRow("multipart: headers past the end") << hex("01 0900 83") << 5;
        QTest::newRow("multipart: bytes after the last entry") << hex("01 0101 83 61 ff") << 5;
        QTest::newRow("multipart: part without content type") << hex("01 0001 61") << 5;
    }
    void malformedInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        const std::function<void(WspReader &)> read[] = { [](WspReader &r) { r.uintvar(); },
            [](WspReader &r) { r.valueLength(); }, [](WspReader &r) { r.longInteger(); },
            [](WspReader &r) { r.textString(); }, [](WspReader &r) { r.encodedString(); },
            [](WspReader &r) {
                QList<MmsPart> parts;
                if (!MmsPart::decodeMultipart(r.bytes(r.remaining()), &parts) && parts.isEmpty())
                    r.fail();
            } };
        WspReader r(bytes);
        read[kind](r);
        QVERIFY(!r.ok());
        // A failed reader stays failed and empty.
        QCOMPARE(r.octet(), quint8(0));
        QCOMPARE(r.textString(), QByteArray());
    }

    void sample()
    {
        MmsPdu pdu;
        QString error;
        QVERIFY2(pdu.decode(m_sample, &error), qPrintable(error));
        QCOMPARE(pdu.sendReqProblem(), QString());
        QCOMPARE(pdu.transactionId(), QByteArray("demo-0001"));
        QCOMPARE(pdu.addresses(MmsPdu::To), QStringList { QStringLiteral("+15555550123/TYPE=PLMN") });
        QCOMPARE(pdu.subject(), QStringLiteral("libtarnex demo"));
        QList<MmsPart> parts;
        QVERIFY(pdu.parts(&parts, &error));
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts.at(0).contentType.param("charset"), QByteArray("utf-8"));
        QCOMPARE(parts.at(0).data, readFile("parts/hello.txt"));
        QCOMPARE(parts.at(1).contentId, QByteArray("<ring.png>"));
        QCOMPARE(parts.at(1).data, readFile("parts/ring.png"));
        QCOMPARE(pdu.encode(), m_sample);
        QCOMPARE(MmsPart::encodeMultipart(parts), pdu.body);
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
