// Clients set these by name (QObject::setProperty), which no symbol check
// guards: each must stay readable and writable.
#include <QMetaProperty>
#include <QtTest>

#include "mmsconnection.h"
#include "mmsreceiverbase.h"
#include "mmssenderbase.h"

class TestInterfaces : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void propertiesByName()
    {
        const std::pair<const QMetaObject *, const char *> classes[] = {
            { &MmsSenderBase::staticMetaObject, "mmsc mmscPort proxy proxyPort" },
            { &MmsReceiverBase::staticMetaObject, "proxy proxyPort" },
            { &MmsConnection::staticMetaObject, "ipAddress primaryDNS secondaryDNS interfaceName target" }
        };
        for (const auto &[mo, names] : classes) {
            for (const QByteArray &name : QByteArray(names).split(' ')) {
                const QMetaProperty p = mo->property(mo->indexOfProperty(name));
                QVERIFY2(p.isValid() && p.isReadable() && p.isWritable(), name);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestInterfaces)
#include "tst_interfaces.moc"
