#include "addresscheck_p.h"
#include "interfacename_p.h"

#include <QStringList>

#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

bool isValidInterfaceName(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    return tarnex_is_valid_interface_name(bytes.constData(), size_t(bytes.size()));
}

bool isLoopbackInterface(const QString &name)
{
    if (name == QLatin1String("lo"))
        return true;
    const QByteArray encoded = name.toUtf8();
    if (encoded.isEmpty() || encoded.size() >= IFNAMSIZ)
        return false;
    // Any socket reaches the interface ioctls; an AF_UNIX one needs no
    // network protocol to be there.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, encoded.constData(), size_t(encoded.size()));
    const bool loopback = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK);
    ::close(fd);
    return loopback;
}

bool isValidAddress(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text))
        return false;
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return address.toString() == text;
    const QString allowed = QStringLiteral("0123456789abcdefABCDEF:.");
    for (const QChar c : text) {
        if (!allowed.contains(c))
            return false;
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool isValidHostName(const QString &text)
{
    if (text.isEmpty() || text.size() > 253)
        return false;
    const QStringList labels = text.split(QLatin1Char('.'));
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            const ushort u = c.unicode();
            if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-'))
                return false;
        }
    }
    bool numeric = true;
    for (const QChar c : labels.last())
        numeric = numeric && c.isDigit();
    return !numeric;
}

namespace {

bool isUnicastIPv4(quint32 v4)
{
    const quint32 first = v4 >> 24;
    return first != 0 && first != 127 && (first & 0xf0) != 0xe0 && v4 != 0xffffffffu;
}

} // namespace

bool isUnicastAddress(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return isUnicastIPv4(address.toIPv4Address());
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    if (v6[0] == 0xff)
        return false;
    bool zeroTo9 = true;
    for (int i = 0; i < 10; ++i)
        zeroTo9 = zeroTo9 && v6[i] == 0;
    if (zeroTo9 && v6[10] == 0xff && v6[11] == 0xff)
        return isUnicastIPv4(quint32(v6[12]) << 24 | quint32(v6[13]) << 16 | quint32(v6[14]) << 8 | v6[15]);
    bool zeroTo14 = zeroTo9 && v6[10] == 0 && v6[11] == 0 && v6[12] == 0 && v6[13] == 0 && v6[14] == 0;
    return !(zeroTo14 && v6[15] <= 1);
}
