#include "net/netaddress.h"

namespace Vesk {

QHostAddress normalisedAddress(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool isIPv4 = false;
        const quint32 ipv4 = address.toIPv4Address(&isIPv4);
        if (isIPv4)
            return QHostAddress(ipv4);
    }
    return address;
}

QString addressText(const QHostAddress& address)
{
    return normalisedAddress(address).toString();
}

} // namespace Vesk
