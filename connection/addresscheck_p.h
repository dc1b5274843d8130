#ifndef ADDRESSCHECK_P_H
#define ADDRESSCHECK_P_H

#include <QHostAddress>
#include <QString>

// Checks on the values that go into /sbin/ifconfig and /sbin/route command
// lines. They come from the GPRS service (interface, address) or from the
// client (route target); neither is trusted to be sane.

// tarnex_is_valid_interface_name (interfacename_p.h) on the name's UTF-8 form.
bool isValidInterfaceName(const QString &name);

// The loopback interface, by its name "lo" or, under any other name, by its
// IFF_LOOPBACK flag: configuring or taking it down cuts the handset off from
// itself.
bool isLoopbackInterface(const QString &name);

// A literal IPv4 or IPv6 address. IPv4 must be the plain dotted quad:
// QHostAddress and inet_aton (used by ifconfig and route) read short and
// octal forms differently, so "010.1.2.3" would not mean one address to both.
bool isValidAddress(const QString &text);

// A host name a route target may be: dot-separated labels of 1-63 letters,
// digits and hyphens, none at a label's start or end, 253 characters in
// all, and a last label that is not all digits (a short numeric form such
// as "10.9.9" is a malformed address, not a name).
bool isValidHostName(const QString &text);

// An address one host can have and another can reach: not unspecified
// (0.0.0.0/8, ::), loopback (127.0.0.0/8, ::1), limited broadcast or
// multicast (224.0.0.0/4, ff00::/8); IPv4-mapped IPv6 addresses count as
// their IPv4 address.
bool isUnicastAddress(const QHostAddress &address);

#endif // ADDRESSCHECK_P_H
