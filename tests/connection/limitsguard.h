#ifndef LIMITSGUARD_H
#define LIMITSGUARD_H

#include "connectionlimits_p.h"

// MmsConnectionImpl's time limits replaced while it lives, so that a case
// waiting one out is quick (tests linked with tarnex_internal).
class LimitsGuard
{
public:
    explicit LimitsGuard(const ConnectionLimits &limits)
        : m_saved(connectionLimits())
    {
        setConnectionLimits(limits);
    }
    ~LimitsGuard() { setConnectionLimits(m_saved); }

private:
    const ConnectionLimits m_saved;
};

#endif // LIMITSGUARD_H
