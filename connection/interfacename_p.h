#ifndef INTERFACENAME_P_H
#define INTERFACENAME_P_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whether `length` bytes at `name` may name the network interface on an
 * ifconfig or route command line: the kernel's rule (1 to IFNAMSIZ - 1 bytes,
 * not "." or "..", no '/', ':' or blank), printable ASCII only (the name is
 * passed on as 8-bit and Latin-1 text, which would read other bytes
 * differently), and no leading '-', which the programs would take for an
 * option. C, so that the packet-data library stand-in follows the very same
 * rule as the connection. */
int tarnex_is_valid_interface_name(const char *name, size_t length);

#ifdef __cplusplus
}
#endif

#endif /* INTERFACENAME_P_H */
