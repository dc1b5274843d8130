#ifndef QUELMGPRS_H
#define QUELMGPRS_H

#include <QObject>
#include <QString>

#include "gprscontext.h"

class QuelmGprsPrivate;

/**
 * \file quelmgprs.h
 * QuelmGprs, the watcher of the cellular GPRS service.
 */

/**
 * \brief Watches the cellular GPRS service on the system D-Bus: re-emits its seven signals and answers a
 * status query.
 *
 * It talks to the service "com.orvel.quelm.GPRS" at "/com/orvel/quelm/gprs" through a ComOrvelQuelmGprs
 * proxy of its own. Each service signal arrives as the signal of the same name, with its arguments
 * unchanged and in the order the bus delivers them. MmsConnectionImpl holds one to hear of Detached.
 *
 * The object has no parent and belongs to its creator. It lives in the thread that created it, and its
 * signals come from that thread's event loop; getStatus() blocks that thread. Without a system bus or
 * a service it is made all the same: no signal arrives and getStatus() returns an empty list.
 */
class QuelmGprs : public QObject
{
    Q_OBJECT

public:
    /// Subscribes to the service's signals on the system bus; registers the context types first.
    QuelmGprs();
    /// Unsubscribes; nothing is emitted afterwards.
    ~QuelmGprs() override;

    /**
     * The state of every context the service knows, asked with GetStatus. Blocks the calling thread until
     * the service answers or the bus's default reply timeout (25 s) runs out. Empty when the call fails,
     * which cannot be told from a service that knows no context.
     */
    GprsContextList getStatus();

Q_SIGNALS:
    /// Attaching to the packet-data network failed: the service's code \a in0 and reason \a in1.
    void AttachFailed(uint in0, const QString &in1);
    /// The handset is attached to the packet-data network; \a in0 is the service's status text.
    void Attached(const QString &in0);
    /// Packet data has become available.
    void Available();
    /// The service's two data counters, \a in0 and \a in1, in the service's order.
    void DataCounters(qulonglong in0, qulonglong in1);
    /// The handset is detached from the packet-data network.
    void Detached();
    /// The state of all contexts, \a in0, as the service sends it.
    void Status(const GprsContextList &in0);
    /// Packet data is suspended: the service's code \a in0 and reason \a in1.
    void Suspended(uint in0, const QString &in1);

private:
    QuelmGprsPrivate *m_private;
};

#endif // QUELMGPRS_H
