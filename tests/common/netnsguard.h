#ifndef NETNSGUARD_H
#define NETNSGUARD_H

#include <QString>

// True when this process runs in the private network namespace that
// tests/launchers/in-netns set up for it. Tests that run /sbin/ifconfig or
// /sbin/route (real or fake) check this first and refuse to run otherwise,
// so they can never touch the machine's own network. On false, *why says
// what is wrong.
bool insideTestNetns(QString *why);

#endif // NETNSGUARD_H
