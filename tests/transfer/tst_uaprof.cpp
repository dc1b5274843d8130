// The identity settings as a user edits them: ~/.mms/profile.conf read afresh
// on every call, defaults when keys are missing, and no way for the file to
// smuggle extra header lines into a request.
#include <QtTest>

#include "logcapture.h"
#include "mmsuaprof.h"
#include "tarnexconfig_p.h"
#include "transfertest.h"

class TestUAProf : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_home.setUp()); }

    void values_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("userAgent");
        QTest::addColumn<QString>("profileUrl");
        const QString ua = QStringLiteral(TARNEX_DEFAULT_USER_AGENT);
        const QString pu = QStringLiteral(TARNEX_DEFAULT_PROFILE_URL);
        QTest::newRow("no file") << QByteArray() << ua << pu;
        QTest::newRow("both set") << QByteArray("user_agent=Phone/1.0\nprofile_url=http://p.example/a.xml\n")
                                  << "Phone/1.0"
                                  << "http://p.example/a.xml";
        QTest::newRow("general section")
            << QByteArray("[General]\nuser_agent=Phone/2.0\n") << "Phone/2.0" << pu;
        QTest::newRow("empty means empty, not default") << QByteArray("user_agent=\n") << "" << pu;
        QTest::newRow("quoted commas")
            << QByteArray("user_agent=\"Mozilla/5.0 (Linux, like Gecko), Mobile\"\n")
            << "Mozilla/5.0 (Linux, like Gecko), Mobile" << pu;
        // Unquoted, Qt's INI reader makes a list of it, which reads as empty.
        QTest::newRow("unquoted commas") << QByteArray("user_agent=a, b\n") << "" << pu;
        QTest::newRow("key in a group is not ours") << QByteArray("[Phone]\nuser_agent=G/1\n") << ua << pu;
        QTest::newRow("not INI at all") << QByteArray("\x01\x02garbage\xff\n") << ua << pu;
    }

    void values()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, userAgent);
        QFETCH(QString, profileUrl);
        QVERIFY(m_home.writeConf(conf));
        LogCapture log;
        QCOMPARE(MmsUAProf::getUserAgent(), userAgent);
        QCOMPARE(MmsUAProf::getProfileUrl(), profileUrl);
        QCOMPARE(log.lines(), QStringList());
        // Reading never creates the file.
        QCOMPARE(QFile::exists(QDir::home().filePath(QStringLiteral(".mms/profile.conf"))), !conf.isNull());
    }

    void editTakesEffectAtOnce()
    {
        QVERIFY(m_home.writeConf("user_agent=First/1\n"));
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral("First/1"));
        QVERIFY(m_home.writeConf("user_agent=Second/22\nprofile_url=\n"));
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral("Second/22"));
        QCOMPARE(MmsUAProf::getProfileUrl(), QString());
    }

    // The INI escapes turn into real control characters; such a value would
    // end the header line and start a forged one, so it counts as empty, and
    // the user is told whatever the debug switch says.
    void lineBreaksAreRefused_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<bool>("isUserAgent");
        QTest::newRow("CR LF in user agent") << QByteArray("user_agent=\"A\\r\\nX-Evil: 1\"\n") << true;
        QTest::newRow("LF in profile") << QByteArray("profile_url=\"http://p/\\nHost: evil\"\n") << false;
        QTest::newRow("NUL in user agent") << QByteArray("user_agent=\"A\\0B\"\n") << true;
        QTest::newRow("CR alone") << QByteArray("profile_url=\"x\\ry\"\n") << false;
    }

    void lineBreaksAreRefused()
    {
        QFETCH(QByteArray, conf);
        QFETCH(bool, isUserAgent);
        QVERIFY(m_home.writeConf(conf));
        DebugFlag off(false);
        LogCapture log;
        const QString ua = MmsUAProf::getUserAgent();
        const QString pu = MmsUAProf::getProfileUrl();
        QCOMPARE(isUserAgent ? ua : pu, QString());
        QVERIFY(!(isUserAgent ? pu : ua).isEmpty()); // the other key is untouched
        const QStringList warnings = log.lines(QtWarningMsg);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().contains(isUserAgent ? "user_agent" : "profile_url"),
            qPrintable(warnings.first()));
    }
};

QTEST_GUILESS_MAIN(TestUAProf)
#include "tst_uaprof.moc"
