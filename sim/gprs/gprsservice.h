#ifndef GPRSSERVICE_H
#define GPRSSERVICE_H

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>

#include "gprscontext.h"

class ContextObject;

// What a new context gets for the four properties the client reads.
struct ContextSettings
{
    QString address = QStringLiteral("10.1.2.3");
    QString primaryDns = QStringLiteral("10.1.1.1");
    QString secondaryDns = QStringLiteral("10.1.1.2");
    QString interfaceName = QStringLiteral("gprs0");
};

// One received method call, as the control interface reports it.
struct ReceivedCall
{
    QString path;
    QString interface;
    QString member;
    QStringList args;
};
// Declared with the type: Qt 6's moc output for the signal below needs it.
Q_DECLARE_METATYPE(ReceivedCall)
Q_DECLARE_METATYPE(QList<ReceivedCall>)

// The simulated cellular GPRS service. The generated adaptor forwards the
// service object's methods, properties and signals to this object; context
// objects forward their messages here too, so one script (fail, hold, omit)
// governs every reply the simulator sends.
class GprsService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(QString AttachMode READ attachMode WRITE setAttachMode)
    Q_PROPERTY(bool Attached READ attached)
    Q_PROPERTY(bool Available READ available)
    Q_PROPERTY(QString ClassCMode READ classCMode WRITE setClassCMode)
    Q_PROPERTY(qulonglong RxBytes READ rxBytes)
    Q_PROPERTY(uint StatusInterval READ statusInterval WRITE setStatusInterval)
    Q_PROPERTY(qulonglong TxBytes READ txBytes)

public:
    static const char *const ServiceName;
    static const char *const ServicePath;
    static const char *const ContextInterface;

    GprsService(const ContextSettings &settings, bool verbose, QObject *parent = nullptr);
    ~GprsService() override;

    bool start(QString *error); // registers the object and takes the service name
    bool setPresent(bool present);

    QString attachMode() const { return m_attach_mode; }
    void setAttachMode(const QString &mode) { m_attach_mode = mode; }
    bool attached() const { return m_attached; }
    bool available() const { return m_available; }
    QString classCMode() const { return m_class_c_mode; }
    void setClassCMode(const QString &mode) { m_class_c_mode = mode; }
    qulonglong rxBytes() const;
    uint statusInterval() const { return m_status_interval; }
    void setStatusInterval(uint interval) { m_status_interval = interval; }
    qulonglong txBytes() const;

    // Script, driven by the control interface.
    void failNext(const QString &member, const QString &errorName, const QString &errorMessage);
    void holdNext(const QString &member, int milliseconds);
    void releaseHeld();
    void omitProperty(const QString &name);
    bool setContextProperty(const QString &name, const QString &value);
    QDBusObjectPath addContext(const GprsContext &record);
    QList<ReceivedCall> calls() const { return m_calls; }
    void reset();

    GprsContextList status() const;

    // A message to a context object; always answered.
    void handleContextMessage(
        const QString &path, const QDBusMessage &message, const QDBusConnection &connection);

public Q_SLOTS:
    void Attach();
    QDBusObjectPath Create();
    void Detach();
    GprsContextList GetStatus();
    QDBusObjectPath QuickConnect(
        const QString &apn, const QString &proto, const QString &user, const QString &password);

Q_SIGNALS:
    void AttachFailed(uint code, const QString &reason);
    void Attached(const QString &status);
    void Available();
    void DataCounters(qulonglong rx, qulonglong tx);
    void Detached();
    void Status(const GprsContextList &contexts);
    void Suspended(uint code, const QString &reason);

    void callReceived(const ReceivedCall &call);

private:
    struct Context
    {
        GprsContext record;
        QString primaryDns;
        QString secondaryDns;
        ContextObject *object = nullptr;
    };
    struct Failure
    {
        QString name;
        QString message;
    };
    // What the script says about one incoming call.
    struct Verdict
    {
        bool failed = false;
        Failure failure;
        int holdMs = 0; // 0: answer now, <0: until released
    };

    Verdict receive(const QDBusMessage &message);
    void finishSlot(const Verdict &verdict, const QList<QVariant> &result);
    void deliver(const QDBusConnection &connection, const QDBusMessage &reply, int holdMs);
    QDBusObjectPath newContext(const GprsContext &record);
    void removeContext(const QString &path);

    ContextSettings m_defaults;
    ContextSettings m_settings;
    bool m_verbose;
    bool m_present = false;

    QString m_attach_mode;
    bool m_attached = true;
    bool m_available = true;
    QString m_class_c_mode;
    uint m_status_interval = 0;

    QMap<QString, Context> m_contexts; // by object path
    int m_next_context = 1;

    QHash<QString, QList<Failure>> m_failures; // by member name, oldest first
    QHash<QString, QList<int>> m_holds;
    QSet<QString> m_omitted;
    QList<ReceivedCall> m_calls;
    struct Held
    {
        int id;
        QDBusConnection connection;
        QDBusMessage reply;
    };
    QList<Held> m_held;
    int m_next_held = 1;
};

#endif // GPRSSERVICE_H
