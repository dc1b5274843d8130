#ifndef QUELMGPRS_P_H
#define QUELMGPRS_P_H

#include <QObject>

#include "comorvelquelmgprs.h"

class QuelmGprs;

// Owns the service proxy; a child of the QuelmGprs it forwards to.
class QuelmGprsPrivate : public QObject
{
    Q_OBJECT

public:
    explicit QuelmGprsPrivate(QObject *parent);
    ~QuelmGprsPrivate() override;

    ComOrvelQuelmGprs m_dbus_proxy;
};

#endif // QUELMGPRS_P_H
