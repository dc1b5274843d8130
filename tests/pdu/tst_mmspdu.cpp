// The MMS PDU codec shared by the MMSC simulator and the demo client: the
// wire encodings against hand-made bytes, the shipped sample, and hostile
// input (cut, corrupted, lying lengths).
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

QByteArray readFile(const QString &name)
{
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}
} // namespace

class TestMmsPdu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void uintvar_data()
    {
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("0") << 0u << hex("00");
        QTest::newRow("127") << 127u << hex("7f");
        QTest::newRow("128") << 128u << hex("8100");
        QTest::newRow("16383") << 16383u << hex("ff7f");
        QTest::newRow("16384") << 16384u << hex("818000");
        QTest::newRow("max") << 0xffffffffu << hex("8fffffff7f");
    }
    void uintvar()
    {
        QFETCH(quint32, value);
        QFETCH(QByteArray, bytes);
        WspWriter w;
        w.uintvar(value);
        QCOMPARE(w.data(), bytes);
        WspReader r(bytes);
        QCOMPARE(r.uintvar(), value);
        QVERIFY(r.ok() && r.atEnd());
    }

    void malformedPrimitives_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::newRow("uintvar over 32 bits") << hex("9080808000") << 0;
        QTest::newRow("uintvar of six octets") << hex("818181818100") << 0;
        QTest::newRow("uintvar cut") << hex("8181") << 0;
        QTest::newRow("value-length past the end") << hex("05aabb") << 1;
        QTest::newRow("quoted length past the end") << hex("1f8100aa") << 1;
        QTest::newRow("long integer of 9 octets") << hex("09010203040506070809") << 2;
        QTest::newRow("long integer cut") << hex("040102") << 2;
        QTest::newRow("text without NUL") << QByteArray("abc") << 3;
        QTest::newRow("encoded string longer than its length") << hex("03ea41424300") << 4;
    }
    void malformedPrimitives()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        WspReader r(bytes);
        switch (kind) {
        case 0:
            r.uintvar();
            break;
        case 1:
            r.valueLength();
            break;
        case 2:
            r.longInteger();
            break;
        case 3:
            r.textString();
            break;
        case 4:
            r.encodedString();
            break;
        }
        QVERIFY(!r.ok());
        // A failed reader stays failed and empty.
        QCOMPARE(r.octet(), quint8(0));
        QCOMPARE(r.textString(), QByteArray());
    }

    void valueLengthAndIntegers()
    {
        WspWriter w;
        w.valueLength(30);
        w.valueLength(31);
        w.valueLength(200);
        w.longInteger(1780000000);
        w.integerValue(106);
        w.integerValue(300);
        QCOMPARE(w.data(),
            hex("1e"
                "1f1f"
                "1f8148"
                "046a18a500"
                "ea"
                "02012c"));
        // Lengths are checked against what follows, so give the reader room.
        QByteArray room = w.data() + QByteArray(200, 'x');
        WspReader r(room);
        QCOMPARE(r.valueLength(), 30);
        QCOMPARE(r.valueLength(), 31);
        QCOMPARE(r.valueLength(), 200);
        QCOMPARE(r.longInteger(), quint64(1780000000));
        QCOMPARE(r.integerValue(), quint64(106));
        QCOMPARE(r.integerValue(), quint64(300));
        QVERIFY(r.ok());
    }

    void textStrings()
    {
        WspWriter w;
        w.textString("abc");
        w.textString("\xc3\xa9t\xc3\xa9"); // high first octet: quoted with 127
        w.textString(QByteArray("cut\0here", 8));
        QCOMPARE(w.data(),
            hex("61626300"
                "7fc3a974c3a900"
                "63757400"));
        WspReader r(w.data());
        QCOMPARE(r.textString(), QByteArray("abc"));
        QCOMPARE(r.textString(), QByteArray("\xc3\xa9t\xc3\xa9"));
        QCOMPARE(r.textString(), QByteArray("cut"));
    }

    void encodedStrings()
    {
        const QString text = QStringLiteral("Gr\u00fc\u00dfe \u263a");
        WspWriter w;
        w.encodedString(QStringLiteral("plain"));
        w.encodedString(text);
        const QByteArray utf8 = text.toUtf8();
        QCOMPARE(w.data(), QByteArray("plain", 6) + char(utf8.size() + 2) + '\xea' + utf8 + '\0');
        WspReader r(w.data());
        QCOMPARE(r.encodedString(), QStringLiteral("plain"));
        QCOMPARE(r.encodedString(), text);
        QVERIFY(r.ok() && r.atEnd());
        // Latin-1 tagged text is decoded as Latin-1.
        QByteArray latin = hex("05") + char(0x84) + "\xe9t\xe9" + '\0';
        WspReader l(latin);
        QCOMPARE(l.encodedString(), QStringLiteral("\u00e9t\u00e9"));
    }

    void contentTypes_data()
    {
        QTest::addColumn<QByteArray>("media");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("png") << QByteArray("image/png") << QByteArray() << hex("a0");
        QTest::newRow("jpeg") << QByteArray("image/jpeg") << QByteArray() << hex("9e");
        QTest::newRow("text/plain") << QByteArray("text/plain") << QByteArray() << hex("83");
        QTest::newRow("mms") << QByteArray("application/vnd.wap.mms-message") << QByteArray() << hex("be");
        QTest::newRow("mixed") << QByteArray("application/vnd.wap.multipart.mixed") << QByteArray()
                               << hex("a3");
        QTest::newRow("related") << QByteArray("application/vnd.wap.multipart.related") << QByteArray()
                                 << hex("b3");
        QTest::newRow("extension") << QByteArray("audio/amr") << QByteArray() << QByteArray("audio/amr", 10);
        QTest::newRow("with name") << QByteArray("image/png") << QByteArray("a.png")
                                   << hex("08a085612e706e6700");
    }
    void contentTypes()
    {
        QFETCH(QByteArray, media);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        MmsContentType ct(media);
        if (!name.isEmpty())
            ct.setParam("name", name);
        WspWriter w;
        ct.write(w);
        QCOMPARE(w.data(), bytes);
        WspReader r(bytes);
        MmsContentType back = MmsContentType::read(r);
        QVERIFY(r.ok() && r.atEnd());
        QCOMPARE(back.mediaType, media);
        QCOMPARE(back.param("name"), name);
    }

    void relatedParameters()
    {
        MmsContentType ct("application/vnd.wap.multipart.related");
        ct.setParam("type", "application/smil").setParam("start", "<smil>").setParam("x-extra", "1");
        WspWriter w;
        ct.write(w);
        WspReader r(w.data());
        MmsContentType back = MmsContentType::read(r);
        QVERIFY(r.ok());
        QCOMPARE(back.toString(), ct.toString());
        // Charset by MIBenum, and the well-known 1.4 alias of "name".
        QByteArray bytes = hex("0883"
                               "81ea"
                               "97")
            + QByteArray("x.txt", 6);
        bytes[0] = char(bytes.size() - 1);
        WspReader r2(bytes);
        MmsContentType t = MmsContentType::read(r2);
        QVERIFY(r2.ok());
        QCOMPARE(t.param("charset"), QByteArray("utf-8"));
        QCOMPARE(t.param("name"), QByteArray("x.txt"));
        // A parameter running past the general form's length is malformed.
        QByteArray lying = hex("0383"
                               "85")
            + QByteArray("long-name", 10);
        WspReader r3(lying);
        MmsContentType::read(r3);
        QVERIFY(!r3.ok());
    }

    void sendConfBytes()
    {
        // m-send-conf as the standard lays it out, byte by byte.
        MmsPdu conf;
        conf.setMessageType(MmsPdu::SendConf);
        conf.setVersion(0x12); // set out of order on purpose:
        conf.setTransactionId("T1"); // type, id and version still lead
        conf.setResponseStatus(MmsPdu::Ok);
        conf.setMessageId("id9");
        conf.setContentLocation("http://m/1");
        const QByteArray expected = hex("8c81"
                                        "98")
            + QByteArray("T1", 3)
            + hex("8d92"
                  "9280"
                  "8b")
            + QByteArray("id9", 4) + hex("83") + QByteArray("http://m/1", 11);
        QCOMPARE(conf.encode(), expected);

        MmsPdu back;
        QString error;
        QVERIFY2(back.decode(expected, &error), qPrintable(error));
        QCOMPARE(back.messageType(), int(MmsPdu::SendConf));
        QCOMPARE(back.transactionId(), QByteArray("T1"));
        QCOMPARE(back.versionText(), QStringLiteral("1.2"));
        QCOMPARE(back.responseStatus(), int(MmsPdu::Ok));
        QCOMPARE(back.messageId(), QByteArray("id9"));
        QCOMPARE(back.contentLocation(), QByteArray("http://m/1"));
        QVERIFY(!back.hasContentType);
    }

    void fromAddress()
    {
        MmsPdu p;
        p.setMessageType(MmsPdu::SendReq);
        p.setFrom(QString());
        QCOMPARE(p.raw(MmsPdu::From), hex("0181"));
        bool insert = false;
        QCOMPARE(p.from(&insert), QString());
        QVERIFY(insert);
        p.setFrom(QStringLiteral("+1555/TYPE=PLMN"));
        QCOMPARE(p.raw(MmsPdu::From), hex("1180") + QByteArray("+1555/TYPE=PLMN", 16));
        QCOMPARE(p.from(&insert), QStringLiteral("+1555/TYPE=PLMN"));
        QVERIFY(!insert);
    }

    void sample()
    {
        const QByteArray bytes = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
        QVERIFY(!bytes.isEmpty());
        MmsPdu pdu;
        QString error;
        QVERIFY2(pdu.decode(bytes, &error), qPrintable(error));
        QCOMPARE(pdu.sendReqProblem(), QString());
        QCOMPARE(pdu.transactionId(), QByteArray("demo-0001"));
        QCOMPARE(pdu.addresses(MmsPdu::To), QStringList { QStringLiteral("+15555550123/TYPE=PLMN") });
        QCOMPARE(pdu.subject(), QStringLiteral("libtarnex demo"));
        QCOMPARE(pdu.octetField(MmsPdu::Store), int(MmsPdu::Yes));
        QList<MmsPart> parts;
        QVERIFY(pdu.parts(&parts, &error));
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts.at(0).contentType.mediaType, QByteArray("text/plain"));
        QCOMPARE(parts.at(0).contentType.param("charset"), QByteArray("utf-8"));
        QCOMPARE(parts.at(0).data, readFile(QStringLiteral(SAMPLE_DIR "/parts/hello.txt")));
        QCOMPARE(parts.at(1).contentType.mediaType, QByteArray("image/png"));
        QCOMPARE(parts.at(1).contentId, QByteArray("<ring.png>"));
        QCOMPARE(parts.at(1).data, readFile(QStringLiteral(SAMPLE_DIR "/parts/ring.png")));
        QCOMPARE(pdu.encode(), bytes);
        QCOMPARE(MmsPart::encodeMultipart(parts), pdu.body);
    }

    // A cut at a field boundary is a well-formed but shorter PDU; as an
    // m-send-req it must still be refused.
    void everyTruncationIsRefused()
    {
        const QByteArray bytes = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
        QVERIFY(!bytes.isEmpty());
        for (int n = 0; n < bytes.size(); ++n) {
            MmsPdu pdu;
            QString error;
            if (pdu.decode(bytes.left(n), &error))
                error = pdu.sendReqProblem();
            if (error.isEmpty())
                QFAIL(qPrintable(
                    QStringLiteral("a PDU cut at %1 of %2 bytes passed").arg(n).arg(bytes.size())));
        }
    }

    void corruptionNeverCrashesAndAcceptedInputRoundTrips()
    {
        const QByteArray bytes = readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"));
        QVERIFY(!bytes.isEmpty());
        QRandomGenerator rng(20261206);
        int accepted = 0;
        for (int i = 0; i < 3000; ++i) {
            QByteArray b = bytes.left(400 + int(rng.bounded(200))); // headers and first part
            const int flips = 1 + int(rng.bounded(4));
            for (int f = 0; f < flips; ++f)
                b[int(rng.bounded(b.size()))] = char(rng.bounded(256));
            MmsPdu pdu;
            if (pdu.decode(b)) {
                ++accepted;
                // Whatever is accepted is kept exactly.
                QCOMPARE(pdu.encode(), b);
                pdu.describe();
                QList<MmsPart> parts;
                pdu.parts(&parts);
            }
        }
        qInfo("accepted %d of 3000 corrupted PDUs", accepted);
    }

    void lyingMultipart_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("huge entry count") << hex("8fffffff7f"
                                                 "0100"
                                                 "83");
        QTest::newRow("data past the end") << hex("01"
                                                  "0105"
                                                  "83"
                                                  "6162");
        QTest::newRow("headers past the end") << hex("01"
                                                     "0900"
                                                     "83");
        QTest::newRow("bytes after the last entry") << hex("01"
                                                           "0101"
                                                           "83"
                                                           "61"
                                                           "ff");
        QTest::newRow("part without content type") << hex("01"
                                                          "0001"
                                                          "61");
    }
    void lyingMultipart()
    {
        QFETCH(QByteArray, body);
        QList<MmsPart> parts;
        QString error;
        QVERIFY(!MmsPart::decodeMultipart(body, &parts, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(parts.isEmpty());
    }

    void sendReqProblems()
    {
        MmsPdu good;
        QVERIFY(good.decode(readFile(QStringLiteral(SAMPLE_DIR "/m-send-req.mms"))));

        MmsPdu p = good;
        p.remove(MmsPdu::To);
        QVERIFY(p.sendReqProblem().contains(QLatin1String("recipient")));
        p = good;
        p.setMessageType(MmsPdu::RetrieveConf);
        QVERIFY(p.sendReqProblem().contains(QLatin1String("m-retrieve-conf")));
        p = good;
        p.remove(MmsPdu::TransactionId);
        QVERIFY(p.sendReqProblem().contains(QLatin1String("Transaction-ID")));
        p = good;
        p.setVersion(0x20);
        QVERIFY(!p.sendReqProblem().isEmpty());
        p = good;
        p.hasContentType = false;
        QVERIFY(p.sendReqProblem().contains(QLatin1String("Content-Type")));

        // Type first is the one layout rule the decoder itself enforces.
        QByteArray swapped = hex("98") + QByteArray("T", 2) + hex("8c80");
        QString error;
        QVERIFY(!MmsPdu().decode(swapped, &error));
        QVERIFY(error.contains(QLatin1String("X-Mms-Message-Type")));
    }
};

QTEST_GUILESS_MAIN(TestMmsPdu)
#include "tst_mmspdu.moc"
