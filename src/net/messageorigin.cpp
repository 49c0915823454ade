#include "net/messageorigin.h"

#include "net/netaddress.h"

namespace Vesk::MessageOrigin {

bool isFrom(const Parameters& message, const QString& nodeId, const QHostAddress& storedAddress)
{
    if (nodeId.isEmpty())
        return false;
    const auto stream = message.constFind(kStreamNode);
    if (stream != message.cend())
        return stream.value().toString() == nodeId;
    const auto named = message.constFind(QStringLiteral("nodeFrom"));
    if (named != message.cend())
        return named.value().toString() == nodeId;
    const QHostAddress sender(message.value(QStringLiteral("senderIPAddress")).toString());
    return !sender.isNull() && normalisedAddress(sender) == normalisedAddress(storedAddress);
}

} // namespace Vesk::MessageOrigin
