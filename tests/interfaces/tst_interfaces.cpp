// Clients reach the interfaces' settings by property name, which no symbol
// check guards: each name must stay readable and writable.
#include <QMetaProperty>
#include <QtTest>

#include "mmsconnection.h"
#include "mmsreceiverbase.h"
#include "mmssenderbase.h"

class TestInterfaces : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void propertiesByName_data()
    {
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("sender") << "MmsSenderBase"
                                << QStringList({ "mmsc", "mmscPort", "proxy", "proxyPort" });
        QTest::newRow("receiver") << "MmsReceiverBase" << QStringList({ "proxy", "proxyPort" });
        QTest::newRow("connection") << "MmsConnection"
                                    << QStringList({ "ipAddress", "primaryDNS", "secondaryDNS",
                                           "interfaceName", "target" });
    }
    void propertiesByName()
    {
        QFETCH(QString, cls);
        QFETCH(QStringList, names);
        const QMetaObject *mo = cls == "MmsConnection" ? &MmsConnection::staticMetaObject
            : cls == "MmsReceiverBase"                 ? &MmsReceiverBase::staticMetaObject
                                                       : &MmsSenderBase::staticMetaObject;
        for (const QString &name : names) {
            const QMetaProperty p = mo->property(mo->indexOfProperty(qPrintable(name)));
            QVERIFY2(p.isValid() && p.isReadable() && p.isWritable(), qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestInterfaces)
#include "tst_interfaces.moc"
