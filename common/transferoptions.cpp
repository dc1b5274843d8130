#include "transferoptions_p.h"

TransferOptions::TransferOptions(QObject *transfer)
    : QObject(transfer)
{
}

TransferOptions *TransferOptions::of(const QObject *transfer)
{
    for (QObject *child : transfer->children()) {
        if (auto *options = qobject_cast<TransferOptions *>(child))
            return options;
    }
    // The state is the object's own even though the caller may hold it const.
    return new TransferOptions(const_cast<QObject *>(transfer));
}
