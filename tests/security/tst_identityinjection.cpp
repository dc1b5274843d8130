// A settings file whose identity values carry line breaks or NULs cannot add
// a field or a request to what any of the four transfers puts on the wire.
#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "httptestserver.h"
#include "logcapture.h"
#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"

class tst_IdentityInjection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral(".mms")));
    }

    void settingsValues_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QByteArray>("conf");
        // INI escapes: QSettings turns \r, \n and \0 inside quotes into the
        // characters themselves.
        const QList<QPair<const char *, QByteArray>> confs = {
            { "CR LF in user agent", "user_agent=\"UA/1\\r\\nX-Evil: 1\"\nprofile_url=http://p.example/a.xml\n" },
            { "LF in profile", "user_agent=UA/1\nprofile_url=\"http://p.example/\\nX-Evil: 1\"\n" },
            { "NUL in user agent", "user_agent=\"UA\\0X-Evil: 1\"\n" },
            { "request smuggled in profile",
              "profile_url=\"x\\r\\n\\r\\nGET /X-Evil HTTP/1.1\\r\\nHost: evil\"\n" },
        };
        for (const char *variant : { "MmsSender", "MmsSenderNM", "MmsReceiver", "MmsReceiverNM" })
            for (const auto &conf : confs)
                QTest::addRow("%s, %s", variant, conf.first) << QString::fromLatin1(variant) << conf.second;
    }

    void settingsValues()
    {
        QFETCH(QString, variant);
        QFETCH(QByteArray, conf);
        QFile file(m_home.filePath(QStringLiteral(".mms/profile.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(conf), conf.size());
        file.close();

        HttpTestServer server;
        QVERIFY(server.listen());
        server.setDefaultResponse(HttpTestResponse(HttpTestServer::reply(200, "ok")));
        LogCapture log;

        QScopedPointer<QObject> t;
        QByteArray pduBytes("pdu");
        QBuffer pdu(&pduBytes);
        QVERIFY(pdu.open(QIODevice::ReadOnly));
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        const QString url = server.url(QStringLiteral("/mms"));
        if (variant.startsWith(QLatin1String("MmsSender"))) {
            MmsSenderBase *s = variant == QLatin1String("MmsSender") ? static_cast<MmsSenderBase *>(new MmsSender)
                                                                      : new MmsSenderNM;
            t.reset(s);
            s->setMmsc(url);
            s->setMmscPort(server.port());
            QSignalSpy done(s, SIGNAL(mmsSendComplete(int)));
            s->startMmsSend(&pdu, &out);
            QVERIFY(done.wait(20000));
            QCOMPARE(done.at(0).at(0).toInt(), 200);
        } else {
            MmsReceiverBase *r = variant == QLatin1String("MmsReceiver")
                ? static_cast<MmsReceiverBase *>(new MmsReceiver)
                : new MmsReceiverNM;
            t.reset(r);
            QSignalSpy done(r, SIGNAL(downloadCompleted(int)));
            r->downloadMms(url, &out);
            QVERIFY(done.wait(20000));
            QCOMPARE(done.at(0).at(0).toInt(), 200);
        }

        QCOMPARE(server.requestCount(), 1);
        const HttpTestRequest request = server.request(0);
        QVERIFY(!request.malformed);
        QCOMPARE(request.target, QByteArray("/mms"));
        QVERIFY2(!request.raw.contains("X-Evil"), request.raw.constData());
        QVERIFY(request.header("X-Evil").isEmpty());
        QVERIFY(!request.raw.contains('\0'));
        // The refused value is said to be refused, and never shown.
        QVERIFY(log.contains(QStringLiteral("line break or NUL")));
        for (const QString &line : log.lines())
            QVERIFY2(!line.contains(QLatin1String("X-Evil")), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(tst_IdentityInjection)
#include "tst_identityinjection.moc"
