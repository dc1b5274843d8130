#ifndef CONNECTIONLIMITS_P_H
#define CONNECTIONLIMITS_P_H

// How long MmsConnectionImpl waits for the GPRS service and the net-tools.
// The service answers a property read from what it holds: milliseconds, even
// on a busy handset, so 3 s means it is not answering at all. A Delete may
// wait for the network to release the context; beyond 5 s the caller's event
// loop has been frozen long enough, and the context goes anyway once the
// service gets to it. A route target's name gets the same bound as a
// transfer's look-up: both of the context's DNS servers, each asked twice.
struct ConnectionLimits
{
    int quickConnectMs = 60000; // the asynchronous connect request
    int commandMs = 30000; // each run of ifconfig or route; a target name's routes share one
    int propertyReadMs = 3000; // each context property read
    int deleteMs = 5000; // a context's Delete
    int lookupMs = 12000; // a host-name target's look-up
};

// The limits in force. In libtarnex.so they are always the values above.
// Only the static tarnex_internal that tests link is built with
// TARNEX_ADJUSTABLE_LIMITS, which adds setConnectionLimits(), so that a test
// of a hung command or an unanswered call need not wait the limit out.
ConnectionLimits connectionLimits();

#ifdef TARNEX_ADJUSTABLE_LIMITS
void setConnectionLimits(const ConnectionLimits &limits);
#endif

#endif // CONNECTIONLIMITS_P_H
