#ifndef QUELMGPRS_H
#define QUELMGPRS_H

#include <QObject>
#include <QString>

#include "gprscontext.h"

class QuelmGprsPrivate;

// Watches the cellular GPRS service on the system bus: re-emits its seven
// D-Bus signals unchanged and answers a synchronous status query.
class QuelmGprs : public QObject
{
    Q_OBJECT

public:
    QuelmGprs();
    ~QuelmGprs() override;

    // State of every context the service knows. Blocks until the service
    // answers (or the bus's default timeout); empty when the call fails.
    GprsContextList getStatus();

Q_SIGNALS:
    void AttachFailed(uint in0, const QString &in1);
    void Attached(const QString &in0);
    void Available();
    void DataCounters(qulonglong in0, qulonglong in1);
    void Detached();
    void Status(const GprsContextList &in0);
    void Suspended(uint in0, const QString &in1);

private:
    QuelmGprsPrivate *m_private;
};

#endif // QUELMGPRS_H
