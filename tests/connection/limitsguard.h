#ifndef LIMITSGUARD_H
#define LIMITSGUARD_H

#include "connectionlimits_p.h"

// MmsConnectionImpl's time limits replaced while it lives, so a case that
// waits one out takes a fraction of a second (tests linked with tarnex_internal).
class LimitsGuard
{
public:
    explicit LimitsGuard(const ConnectionLimits &limits)
        : m_saved(connectionLimits())
    {
        setConnectionLimits(limits);
    }
    ~LimitsGuard() { setConnectionLimits(m_saved); }
    LimitsGuard(const LimitsGuard &) = delete;
    LimitsGuard &operator=(const LimitsGuard &) = delete;

private:
    const ConnectionLimits m_saved;
};

#endif // LIMITSGUARD_H
