#include "transfer/transferorigin.h"

#include "net/messageorigin.h"
#include "net/netaddress.h"
#include "store/store.h"
#include "transfer/transferlogging.h"

namespace Vesk {

namespace {

bool sameAddress(const QHostAddress& sender, const QHostAddress& known)
{
    return !known.isNull() && normalisedAddress(sender) == normalisedAddress(known);
}

bool comesFrom(const Parameters& message, const QString& nodeId, const Store& store, const QHostAddress& known)
{
    if (nodeId.isEmpty())
        return false;
    const auto stream = message.constFind(MessageOrigin::kStreamNode);
    if (stream != message.cend())
        return stream.value().toString() == nodeId;
    const auto named = message.constFind(QStringLiteral("nodeFrom"));
    if (named != message.cend())
        return named.value().toString() == nodeId;
    const QHostAddress sender(message.value(QStringLiteral("senderIPAddress")).toString());
    return !sender.isNull() && (sameAddress(sender, known) || sameAddress(sender, store.nodeAddress(nodeId)));
}

} // namespace

bool fromTransferPeer(const Parameters& message, const QString& nodeId, const Store& store, const QHostAddress& known)
{
    if (comesFrom(message, nodeId, store, known))
        return true;
    qCWarning(lcTransfer) << "refused" << message.value(QStringLiteral("action")).toString() << "for"
                          << message.value(QStringLiteral("fileId")).toString().left(64) << "from"
                          << message.value(QStringLiteral("senderIPAddress")).toString() << "which is not its peer";
    return false;
}

} // namespace Vesk
