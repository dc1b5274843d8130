// The abstract interfaces as a client reaches them: by accessor and by
// property name, through the meta-object a client connects to by signature.
#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

#include "mmsconnection.h"
#include "mmsreceiverbase.h"
#include "mmssenderbase.h"

namespace {
class Sender : public MmsSenderBase
{
public:
    void startMmsSend(QIODevice *, QIODevice *) override { }
    void abort() override { }
};
class Receiver : public MmsReceiverBase
{
public:
    void downloadMms(const QString &, QIODevice *) override { }
    void abort() override { }
};
class Connection : public MmsConnection
{
public:
    bool openConnection(const QString &, const QString &, const QString &) override { return true; }
    bool closeConnection() override { return true; }
};

QStringList signalSignatures(const QMetaObject *mo)
{
    QStringList out;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        QMetaMethod m = mo->method(i);
        QString names;
        for (const QByteArray &n : m.parameterNames())
            names += QString::fromLatin1(n) + QLatin1Char(' ');
        out << QString::fromLatin1(m.methodSignature()) + QLatin1Char(':') + names.trimmed();
    }
    return out;
}
} // namespace

class TestInterfaces : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void senderProperties()
    {
        Sender s;
        QVERIFY(s.parent() == nullptr);
        QCOMPARE(s.mmsc(), QString());
        QCOMPARE(s.property("proxy").toString(), QString());
        QVERIFY(s.setProperty("mmsc", QStringLiteral("http://mmsc.example/mms")));
        QVERIFY(s.setProperty("mmscPort", 8002));
        s.setProxy(QStringLiteral("10.0.0.1"));
        s.setProxyPort(3128);
        QCOMPARE(s.mmsc(), QStringLiteral("http://mmsc.example/mms"));
        QCOMPARE(s.mmscPort(), 8002);
        QCOMPARE(s.property("proxy").toString(), QStringLiteral("10.0.0.1"));
        QCOMPARE(s.property("proxyPort").toInt(), 3128);
        QCOMPARE(signalSignatures(&MmsSenderBase::staticMetaObject),
            QStringList({ "mmsSendComplete(int):httpError", "sendProgress(int,int):done total",
                "connectionStateChanged(int):state" }));
        QVERIFY(qobject_cast<MmsSenderBase *>(&s));
    }

    void receiverProperties()
    {
        Receiver r;
        QCOMPARE(r.proxy(), QString());
        QCOMPARE(r.property("proxy").toString(), QString());
        QVERIFY(r.setProperty("proxy", QStringLiteral("proxy.example")));
        QVERIFY(r.setProperty("proxyPort", 8080));
        QCOMPARE(r.proxy(), QStringLiteral("proxy.example"));
        QCOMPARE(r.proxyPort(), 8080);
        QCOMPARE(signalSignatures(&MmsReceiverBase::staticMetaObject),
            QStringList({ "downloadCompleted(int):httpError", "downloadProgress(int,int):done total",
                "connectionStateChanged(int):state" }));
    }

    void connectionProperties()
    {
        Connection c;
        QSignalSpy established(&c, SIGNAL(connectionEstablished(int)));
        QSignalSpy gone(&c, SIGNAL(disconnected()));
        for (const char *name : { "ipAddress", "primaryDNS", "secondaryDNS", "interfaceName", "target" })
            QCOMPARE(c.property(name).toString(), QString());
        QVERIFY(c.setProperty("target", QStringLiteral("10.9.9.9")));
        QCOMPARE(c.target(), QStringLiteral("10.9.9.9"));
        c.setInterfaceName(QStringLiteral("gprs0"));
        QCOMPARE(c.property("interfaceName").toString(), QStringLiteral("gprs0"));
        c.setInterfaceName(QString(""));
        QCOMPARE(c.interfaceName(), QString());
        QCOMPARE(established.count() + gone.count(), 0);

        const QMetaObject *mo = &MmsConnection::staticMetaObject;
        QCOMPARE(
            signalSignatures(mo), QStringList({ "connectionEstablished(int):error", "disconnected():" }));
        QStringList props;
        for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
            props << QString::fromLatin1(mo->property(i).name());
        QCOMPARE(
            props, QStringList({ "ipAddress", "primaryDNS", "secondaryDNS", "interfaceName", "target" }));
    }
};

QTEST_GUILESS_MAIN(TestInterfaces)
#include "tst_interfaces.moc"
