#include "interfacename_p.h"

#include <net/if.h>

int tarnex_is_valid_interface_name(const char *name, size_t length)
{
    if (length == 0 || length >= IFNAMSIZ || name[0] == '-')
        return 0;
    if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')))
        return 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)name[i];
        if (c <= ' ' || c >= 0x7f || c == '/' || c == ':')
            return 0;
    }
    return 1;
}
