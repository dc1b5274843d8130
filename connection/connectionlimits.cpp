#include "connectionlimits_p.h"

// Compiled twice: fixed into libtarnex.so, adjustable into tarnex_internal.
#ifdef TARNEX_ADJUSTABLE_LIMITS

namespace {
ConnectionLimits s_limits;
}

ConnectionLimits connectionLimits()
{
    return s_limits;
}

void setConnectionLimits(const ConnectionLimits &limits)
{
    s_limits = limits;
}

#else

ConnectionLimits connectionLimits()
{
    return ConnectionLimits();
}

#endif
