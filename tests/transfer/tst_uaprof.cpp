// The identity settings as a user edits them: ~/.mms/profile.conf read afresh
// on every call, defaults when keys are missing, and no way for the file to
// smuggle extra header lines into a request.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "logcapture.h"
#include "mmsuaprof.h"
#include "tarnexconfig_p.h"

class TestUAProf : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString confPath() const { return m_home.filePath(QStringLiteral(".mms/profile.conf")); }

    void writeConf(const QByteArray &content)
    {
        QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral(".mms")));
        QFile f(confPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QCOMPARE(QDir::homePath(), m_home.path());
    }

    void cleanup() { QDir(m_home.filePath(QStringLiteral(".mms"))).removeRecursively(); }

    void defaultsWithoutFile()
    {
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral(TARNEX_DEFAULT_USER_AGENT));
        QCOMPARE(MmsUAProf::getProfileUrl(), QStringLiteral(TARNEX_DEFAULT_PROFILE_URL));
        // Reading never creates the file or its folder.
        QVERIFY(!QFileInfo::exists(m_home.filePath(QStringLiteral(".mms"))));
        QVERIFY(MmsUAProf::userAgent.isEmpty());
    }

    void values_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("userAgent");
        QTest::addColumn<QString>("profileUrl");

        const QString ua = QStringLiteral(TARNEX_DEFAULT_USER_AGENT);
        const QString pu = QStringLiteral(TARNEX_DEFAULT_PROFILE_URL);
        QTest::newRow("both set") << QByteArray("user_agent=Phone/1.0\nprofile_url=http://p.example/a.xml\n")
                                  << "Phone/1.0"
                                  << "http://p.example/a.xml";
        QTest::newRow("general section")
            << QByteArray("[General]\nuser_agent=Phone/2.0\n") << "Phone/2.0" << pu;
        QTest::newRow("empty means empty, not default") << QByteArray("user_agent=\n") << "" << pu;
        QTest::newRow("other key only")
            << QByteArray("profile_url=http://x/y.xml\n") << ua << "http://x/y.xml";
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
        writeConf(conf);
        LogCapture log;
        QCOMPARE(MmsUAProf::getUserAgent(), userAgent);
        QCOMPARE(MmsUAProf::getProfileUrl(), profileUrl);
        QCOMPARE(log.lines(), QStringList());
    }

    void editTakesEffectAtOnce()
    {
        writeConf("user_agent=First/1\n");
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral("First/1"));
        writeConf("user_agent=Second/22\nprofile_url=\n");
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral("Second/22"));
        QCOMPARE(MmsUAProf::getProfileUrl(), QString());
        QFile::remove(confPath());
        QCOMPARE(MmsUAProf::getUserAgent(), QStringLiteral(TARNEX_DEFAULT_USER_AGENT));
    }

    void lineBreaksAreRefused_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("key");
        QTest::newRow("CR LF in user agent")
            << QByteArray("user_agent=\"A\\r\\nX-Evil: 1\"\n") << "user_agent";
        QTest::newRow("LF in profile")
            << QByteArray("profile_url=\"http://p/\\nHost: evil\"\n") << "profile_url";
        QTest::newRow("NUL in user agent") << QByteArray("user_agent=\"A\\0B\"\n") << "user_agent";
        QTest::newRow("CR alone") << QByteArray("profile_url=\"x\\ry\"\n") << "profile_url";
    }

    // The INI escapes turn into real control characters; such a value would
    // end the header line and start a forged one, so it counts as empty, and
    // the user is told whatever the debug switch says.
    void lineBreaksAreRefused()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, key);
        writeConf(conf);
        DebugFlag off(false);
        LogCapture log;
        const QString value
            = key == QLatin1String("user_agent") ? MmsUAProf::getUserAgent() : MmsUAProf::getProfileUrl();
        QCOMPARE(value, QString());
        const QStringList warnings = log.lines(QtWarningMsg);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().contains(key), qPrintable(warnings.first()));
        // The other key is untouched.
        const QString other
            = key == QLatin1String("user_agent") ? MmsUAProf::getProfileUrl() : MmsUAProf::getUserAgent();
        QVERIFY(!other.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUAProf)
#include "tst_uaprof.moc"
