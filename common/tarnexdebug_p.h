#ifndef TARNEXDEBUG_P_H
#define TARNEXDEBUG_P_H

#include <QDebug>

#include "mmslogger.h"

// Diagnostic line, written only while the handset's debug switch is on. The
// stream operands are not evaluated when it is off, so values computed only
// for the line (sizes, names) cost nothing then.
#define TARNEX_DEBUG                                                                                         \
    if (!MMSLogger::qdebugEnabled) {                                                                         \
    } else                                                                                                   \
        qDebug()

#endif // TARNEXDEBUG_P_H
