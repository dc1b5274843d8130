#ifndef TRANSFEROPTIONS_P_H
#define TRANSFEROPTIONS_P_H

#include <QObject>
#include <QStringList>

#include "dnsresolver_p.h"

// Settings of a sender or receiver that came after 1.0. The public classes'
// layouts are part of the library's ABI, so the settings live in a private
// child object that the base constructors create and the transfer code finds
// again through its parent.
class TransferOptions : public QObject
{
    Q_OBJECT

public:
    enum { DefaultTransferTimeoutMs = 120000 };

    explicit TransferOptions(QObject *transfer);

    // The options of `transfer`. Made anew with the defaults if a client has
    // deleted the object's children.
    static TransferOptions *of(const QObject *transfer);

    // A negative limit means none, as 0 does.
    void setTransferTimeout(int msecs) { transferTimeout = qMax(0, msecs); }
    void setMaxResponseSize(qint64 bytes) { maxResponseSize = qMax<qint64>(0, bytes); }

    int transferTimeout = DefaultTransferTimeoutMs; // no-progress limit in ms; 0: none
    qint64 maxResponseSize = 0; // answer body limit in bytes; 0: none
    QString networkInterface; // every socket bound to it; empty: unbound
    QStringList dnsServers; // as the client gave them; empty: the system resolver
    int dnsTimeout = DnsResolver::DefaultTimeout; // bound of a look-up through dnsServers; tests shorten it
};

#endif // TRANSFEROPTIONS_P_H
