#include "transfer/transferorigin.h"

#include "net/messageorigin.h"
#include "store/store.h"

namespace Vesk {

bool fromTransferPeer(const Parameters& message, const QString& nodeId, const Store& store, const QHostAddress& known)
{
    if (MessageOrigin::isFrom(message, nodeId, known))
        return true;
    // A stream or a named node answered already, whatever the address; only the address of a plain peer that names
    // no node may be out of date.
    if (MessageOrigin::onStream(message) || message.contains(QStringLiteral("nodeFrom")))
        return false;
    return MessageOrigin::isFrom(message, nodeId, store.nodeAddress(nodeId));
}

} // namespace Vesk
